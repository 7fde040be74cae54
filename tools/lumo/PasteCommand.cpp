#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <variant>

#include "CaptureFiles.h"
#include "DesktopCommands.h"
#include "ShareRun.h"
#include "lumo/platform/Clipboard.h"
#include "lumo/platform/Url.h"

namespace lumo::cli {
namespace fs = std::filesystem;
namespace {

using Clock = std::chrono::steady_clock;
// A large image comes from its owner in many parts (INCR on X): room for a slow one.
constexpr auto kReadLimit = std::chrono::seconds(30);
constexpr std::string_view kImage = "image/png";
constexpr std::string_view kFiles = "text/uri-list";

// The files of a copied list (RFC 2483: one URI a line, "#" starts a comment), or why it holds
// something other than files.
std::variant<std::vector<std::string>, std::string> filesOf(const std::string& list) {
  std::vector<std::string> files;
  for (std::size_t at = 0, end = 0; at < list.size(); at = end + 1) {
    end = std::min(list.find('\n', at), list.size());
    std::string line = list.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line.front() == '#') continue;
    const auto url = Url::parse(line);
    if (!url || !url->isFileURL())
      return "only files can be shared: the copied " + line + " is not a file:// address";
    files.push_back(url->filePath().string());
  }
  if (files.empty()) return std::string("the copied list of files is empty");
  return files;
}

}  // namespace

int paste(Output& output, Host& host) {
  auto fail = [&](const std::string& why) {
    host.progress()->printLine("error: " + why);
    return 1;
  };
  Clipboard& clipboard = Clipboard::general();
  const auto types = clipboard.types(Clock::now() + kReadLimit);
  auto offered = [&](std::string_view type) { return std::ranges::count(types, type) > 0; };
  auto problem = [&] { return clipboard.lastProblem().value_or("no reason given"); };
  std::vector<std::string> files;
  if (offered(kImage)) {
    const auto image = clipboard.read(kImage, Clock::now() + kReadLimit);
    if (!image) return fail("cannot read the image on the clipboard: " + problem());
    if (!image->starts_with("\x89PNG\r\n\x1a\n")) return fail("the clipboard's image is no PNG");
    auto claimed = freeCapturePath("Screen Shot", "png");
    if (const auto* why = std::get_if<std::string>(&claimed)) return fail(*why);
    const fs::path file = std::get<fs::path>(claimed);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!(out << *image) || !out.flush()) {
      std::error_code ec;
      fs::remove(file, ec);
      return fail("cannot write " + file.string());
    }
    files.push_back(file.string());
  } else if (offered(kFiles)) {
    const auto list = clipboard.read(kFiles, Clock::now() + kReadLimit);
    if (!list) return fail("cannot read the copied files: " + problem());
    auto listed = filesOf(*list);
    if (const auto* why = std::get_if<std::string>(&listed)) return fail(*why);
    files = std::get<std::vector<std::string>>(listed);
  } else if (types.empty()) {
    return fail("nothing to share on the clipboard: " + problem());
  } else {
    std::string all;
    for (const auto& type : types) all += (all.empty() ? "" : ", ") + type;
    return fail(
        "the clipboard holds neither an image (image/png) nor copied files "
        "(text/uri-list), only " +
        all);
  }
  ShareRun run(output, host);
  return run.share(files);
}

}  // namespace lumo::cli
