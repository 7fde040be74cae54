#include "RegionSelector.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <sstream>

#include "Interrupt.h"

namespace lumo::cli {
namespace {

using namespace std::chrono_literals;

// A person choosing a region or a window.
constexpr auto kRegionChoosing = std::chrono::minutes(10);

// slop and slurp both exit with status 1 and say "cancelled" when Escape or a right click
// gives the selection up; the same status also means they could not run at all.
bool selectionCancelled(const ChildProcess::Result& result) {
  std::string errors = result.errors;
  std::transform(errors.begin(), errors.end(), errors.begin(),
                 [](unsigned char c) { return std::tolower(c); });
  return result.ending == ChildProcess::Result::Ending::exited && result.status != 0 &&
         errors.find("cancel") != std::string::npos;
}

}  // namespace

std::optional<ChildProcess::Result> runUnlessInterrupted(const ChildProcess::Options& options,
                                                         ChildProcess::Clock::time_point deadline) {
  auto child = ChildProcess::start(options);
  while (child->running() && !child->wait(std::min(deadline, ChildProcess::Clock::now() + 100ms))) {
    if (Interrupt::requested()) return std::nullopt;
    if (ChildProcess::Clock::now() >= deadline) break;
  }
  return child->finish(deadline);
}

RegionChoice chooseRegion(const std::string& selector, bool window) {
  constexpr const char* kFormat = "%x %y %w %h";
  ChildProcess::Options options;
  options.output = ChildProcess::Stream::capture;
  if (std::filesystem::path(selector).filename() == "slurp") {
    options.arguments = {selector, "-f", kFormat};
  } else {
    // A tolerance of 0 makes every press the corner of a region, one too large for any drag
    // leaves only clicks on windows: --region drags and --window clicks, never one for the other.
    options.arguments = {selector, "--tolerance", window ? "999999" : "0", "--format", kFormat};
  }
  auto result = runUnlessInterrupted(options, ChildProcess::Clock::now() + kRegionChoosing);
  if (!result || selectionCancelled(*result)) return {RegionChoice::Kind::cancelled, {}, {}};
  if (!result->succeeded()) return {RegionChoice::Kind::failed, {}, result->describe()};
  ScreenRegion region;
  std::istringstream in(result->output);
  if (!(in >> region.x >> region.y >> region.width >> region.height) || region.width <= 0 ||
      region.height <= 0) {
    return {RegionChoice::Kind::failed, {}, result->program + " chose nothing"};
  }
  return {RegionChoice::Kind::chosen, region, {}};
}

}  // namespace lumo::cli
