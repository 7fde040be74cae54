#include "ScreenGrabber.h"

#include <cstdlib>
#include <optional>
#include <system_error>

#include "Interrupt.h"
#include "RegionSelector.h"
#include "ScreenshotPortal.h"
#include "lumo/platform/ChildProcess.h"

namespace lumo::cli {
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Area = CaptureOptions::Area;
using Kind = ScreenGrabber::Outcome::Kind;

namespace {

// The session bus may be slow to say that no portal is there; a screenshot should not wait.
constexpr auto kPortalLookup = 2s;
// A person answering the portal's dialog.
constexpr auto kChoosing = std::chrono::minutes(10);
// Writing one screenshot.
constexpr auto kGrabbing = 60s;
constexpr const char* kNoTool =
    "no screenshot tool found: install maim (X11) or grim (Wayland), or run lumo in a desktop "
    "session that offers the screenshot portal";

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::optional<std::string> installed(const char* program) {
  return ChildProcess::findProgram(program, environment("PATH"));
}

const char* areaName(Area area) {
  return area == Area::region ? "--region" : area == Area::window ? "--window" : "--screen";
}

}  // namespace

const char* ScreenGrabber::name() const {
  switch (tool_) {
    case Tool::portal:
      return "the desktop portal";
    case Tool::grim:
      return "grim";
    case Tool::maim:
      return "maim";
    case Tool::import:
      return "import";
  }
  return "";
}

std::variant<ScreenGrabber, std::string> ScreenGrabber::choose(Area area) {
  if (ScreenshotPortal::available(Clock::now() + kPortalLookup)) {
    return ScreenGrabber(Tool::portal, area, "", "");
  }
  const bool needsSelector = area != Area::screen;
  if (!environment("WAYLAND_DISPLAY").empty()) {
    // X tools under Wayland would see only the X clients' windows: no fallback to them.
    auto grim = installed("grim");
    if (!grim) return std::string(kNoTool);
    if (area == Area::window) {
      return std::string(
          "grim takes whole outputs or regions, not windows: --window needs a desktop that "
          "offers the screenshot portal");
    }
    auto slurp = needsSelector ? installed("slurp") : std::nullopt;
    if (needsSelector && !slurp)
      return std::string("--region with grim needs slurp: install slurp");
    return ScreenGrabber(Tool::grim, area, *grim, slurp.value_or(""));
  }
  if (environment("DISPLAY").empty()) {
    return std::string(
        "no display: run lumo capture in a desktop session (DISPLAY or "
        "WAYLAND_DISPLAY is not set)");
  }
  auto maim = installed("maim");
  auto program = maim ? maim : installed("import");
  if (!program) return std::string(kNoTool);
  // import's own picker grabs the whole X server and cannot be given up: slop chooses for both.
  auto slop = needsSelector ? installed("slop") : std::nullopt;
  if (needsSelector && !slop) {
    return std::string(areaName(area)) + " with " + (maim ? "maim" : "import") +
           " needs slop: install slop";
  }
  return ScreenGrabber(maim ? Tool::maim : Tool::import, area, *program, slop.value_or(""));
}

std::variant<std::string, ScreenGrabber::Outcome> ScreenGrabber::select() const {
  const RegionChoice choice = chooseRegion(selector_, area_ == Area::window);
  if (choice.kind == RegionChoice::Kind::cancelled) return Outcome{Kind::cancelled, {}};
  if (choice.kind == RegionChoice::Kind::failed) return Outcome{Kind::failed, choice.error};
  const ScreenRegion& r = choice.region;
  auto text = [](int n) { return std::to_string(n); };
  if (tool_ == Tool::grim)
    return text(r.x) + "," + text(r.y) + " " + text(r.width) + "x" + text(r.height);
  return text(r.width) + "x" + text(r.height) + "+" + text(r.x) + "+" + text(r.y);
}

ScreenGrabber::Outcome ScreenGrabber::take(const fs::path& file) const {
  if (tool_ == Tool::portal) return takeWithPortal(file);
  std::string selection;
  if (area_ != Area::screen) {
    auto selected = select();
    if (auto* outcome = std::get_if<Outcome>(&selected)) return *outcome;
    selection = std::get<std::string>(selected);
  }
  ChildProcess::Options options;
  switch (tool_) {
    case Tool::grim:
      options.arguments = {program_, "-t", "png"};
      if (!selection.empty()) options.arguments.insert(options.arguments.end(), {"-g", selection});
      options.arguments.push_back(file.string());
      break;
    case Tool::maim:
      options.arguments = {program_, "--format", "png", "--hidecursor", "--quiet"};
      if (!selection.empty())
        options.arguments.insert(options.arguments.end(), {"--geometry", selection});
      options.arguments.push_back(file.string());
      break;
    case Tool::import:
      options.arguments = {program_, "-silent", "-window", "root"};
      if (!selection.empty())
        options.arguments.insert(options.arguments.end(), {"-crop", selection, "+repage"});
      // The prefix names the format whatever the file's name, and keeps a leading "-" a name.
      options.arguments.push_back("png:" + file.string());
      break;
    case Tool::portal:
      break;
  }
  auto result = runUnlessInterrupted(options, Clock::now() + kGrabbing);
  if (!result) return {Kind::cancelled, {}};
  if (!result->succeeded()) return {Kind::failed, result->describe()};
  std::error_code ec;
  if (fs::file_size(file, ec) == 0 || ec) {
    return {Kind::failed, result->program + " wrote no screenshot to " + file.string()};
  }
  return {Kind::taken, {}};
}

ScreenGrabber::Outcome ScreenGrabber::takeWithPortal(const fs::path& file) const {
  // The desktop's own picker chooses the region or the window.
  auto taken = ScreenshotPortal::take(area_ != Area::screen, Clock::now() + kChoosing,
                                      [] { return Interrupt::requested(); });
  if (taken.kind == ScreenshotPortal::Outcome::Kind::cancelled) return {Kind::cancelled, {}};
  if (taken.kind == ScreenshotPortal::Outcome::Kind::failed) return {Kind::failed, taken.error};
  // The portal leaves its file where the desktop keeps screenshots: it becomes ours, in place
  // of the empty file that holds the name.
  std::error_code ec;
  fs::rename(taken.file, file, ec);
  if (ec == std::errc::cross_device_link) {
    ec.clear();
    fs::copy_file(taken.file, file, fs::copy_options::overwrite_existing, ec);
    if (!ec) {
      std::error_code left;  // a copy left behind costs space, not the capture
      fs::remove(taken.file, left);
    }
  }
  if (ec) {
    return {Kind::failed, "cannot move the portal's " + taken.file.string() + " to " +
                              file.string() + ": " + ec.message()};
  }
  return {Kind::taken, {}};
}

}  // namespace lumo::cli
