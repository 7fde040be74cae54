#include <filesystem>
#include <iostream>
#include <thread>

#include "CaptureFiles.h"
#include "DesktopCommands.h"
#include "Interrupt.h"
#include "ScreenGrabber.h"
#include "ShareRun.h"

namespace lumo::cli {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

int failed(Output& output, const std::string& why) {
  output.emit({{"ok", false}, {"error", why}}, "");
  std::cerr << "error: " << why << "\n";
  return 1;
}

int cancelled(Output& output) {
  output.emit({{"ok", false}, {"cancelled", true}, {"error", "cancelled"}}, "");
  std::cerr << "lumo: capture cancelled\n";
  return 130;
}

// False when Ctrl-C came first.
bool waitUnlessInterrupted(double seconds) {
  const auto until = std::chrono::steady_clock::now() +
                     std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                         std::chrono::duration<double>(seconds));
  while (std::chrono::steady_clock::now() < until) {
    if (Interrupt::requested()) return false;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
        50ms, until - std::chrono::steady_clock::now()));
  }
  return !Interrupt::requested();
}

// Removes a claimed capture file that never received its screenshot.
void giveUp(const fs::path& file) {
  std::error_code ec;
  fs::remove(file, ec);
}

}  // namespace

int capture(Output& output, Host& host, const CaptureOptions& options) {
  // The choice comes before the delay: a missing tool is said at once, not after the wait.
  auto chosen = ScreenGrabber::choose(options.area);
  if (auto* why = std::get_if<std::string>(&chosen)) return failed(output, *why);
  const auto& grabber = std::get<ScreenGrabber>(chosen);
  if (!waitUnlessInterrupted(options.delaySeconds)) return cancelled(output);

  auto claimed = freeCapturePath("Screen Shot", "png");
  if (auto* why = std::get_if<std::string>(&claimed)) return failed(output, *why);
  const fs::path file = std::get<fs::path>(claimed);
  const auto taken = grabber.take(file);
  if (taken.kind != ScreenGrabber::Outcome::Kind::taken || Interrupt::requested()) {
    giveUp(file);
    if (taken.kind == ScreenGrabber::Outcome::Kind::failed && !Interrupt::requested())
      return failed(output, taken.error);
    return cancelled(output);
  }

  if (!options.share) {
    output.emit({{"file", file.string()}, {"ok", true}}, "saved  " + file.string());
    return 0;
  }
  ShareRun run(output, host);
  return run.share({file.string()});
}

}  // namespace lumo::cli
