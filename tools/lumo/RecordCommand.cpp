#include <signal.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <variant>

#include "CaptureFiles.h"
#include "DesktopCommands.h"
#include "Interrupt.h"
#include "RegionSelector.h"
#include "ShareRun.h"
#include "lumo/account/UserAccountStoreService.h"
#include "lumo/platform/ChildProcess.h"
#include "lumo/registry/Resolver.h"

namespace lumo::cli {
namespace fs = std::filesystem;
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// How long a recorder may take to write the end of its file once asked to stop.
constexpr auto kFinishLimit = 30s;
// ffmpeg ends a timed recording itself; past this much more it is asked to.
constexpr auto kTimedGrace = 10s;
constexpr auto kPoll = 100ms;
constexpr const char* kStopping =
    "\nlumo: finishing the recording (Ctrl-C again to quit at once, keeping it unshared)\n";

std::string variable(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// Why `program` cannot be run: it is not installed. Null when it can.
std::optional<std::string> notInstalled(const std::string& program, const std::string& why) {
  if (ChildProcess::findProgram(program, variable("PATH"))) return std::nullopt;
  return why + " needs " + program + ", which is not installed (Debian package: " + program + ")";
}

// The size of the X screen of `display`, from its root window; null when it cannot be reached.
std::optional<ScreenRegion> screenOf(const std::string& display) {
  int number = 0;
  std::unique_ptr<xcb_connection_t, void (*)(xcb_connection_t*)> connection(
      xcb_connect(display.c_str(), &number), xcb_disconnect);
  if (xcb_connection_has_error(connection.get())) return std::nullopt;
  xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection.get()));
  for (int i = 0; i < number && screens.rem > 0; ++i) xcb_screen_next(&screens);
  if (screens.rem == 0) return std::nullopt;
  return ScreenRegion{0, 0, screens.data->width_in_pixels, screens.data->height_in_pixels};
}

// The recorder's command for `area` of the session's display (on Wayland, none: the whole
// output), into `file`.
ChildProcess::Options recorder(bool wayland, const std::optional<ScreenRegion>& area,
                               std::optional<double> seconds, const fs::path& file) {
  ChildProcess::Options options;
  const std::string size =
      area ? std::to_string(area->width) + "x" + std::to_string(area->height) : "";
  const std::string at = area ? std::to_string(area->x) + "," + std::to_string(area->y) : "";
  if (wayland) {
    // It asks before writing over a file, which ours (claimed empty) is. It takes a frame only
    // when the screen changes, and after Ctrl-C waits for one: on a still screen it would never
    // end (-D takes every frame). Its -x is not applied to libx264; the filter is.
    options.input = "y\n";
    options.arguments = {"wf-recorder",    "-D", "-c",         "libx264", "-F",
                         "format=yuv420p", "-f", file.string()};
    if (area) options.arguments.insert(options.arguments.end(), {"-g", at + " " + size});
    return options;
  }
  options.arguments = {"ffmpeg",       "-nostdin",
                       "-hide_banner", "-loglevel",
                       "error",        "-y",
                       "-f",           "x11grab",
                       "-framerate",   "30",
                       "-video_size",  size,
                       "-i",           variable("DISPLAY") + "+" + at};
  if (seconds) options.arguments.insert(options.arguments.end(), {"-t", std::to_string(*seconds)});
  options.arguments.insert(options.arguments.end(),
                           {"-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p",
                            "-movflags", "+faststart", "-f", "mp4", file.string()});
  return options;
}

}  // namespace

int record(Output& output, Host& host, const RecordOptions& options) {
  TerminalProgress& progress = *host.progress();
  auto fail = [&](const std::string& why) {
    progress.printLine("error: " + why);
    return 1;
  };
  Interrupt::includeTerminate();
  const bool wayland = !variable("WAYLAND_DISPLAY").empty();
  if (!wayland && variable("DISPLAY").empty()) {
    return fail("no display to record: neither WAYLAND_DISPLAY nor DISPLAY is set");
  }
  const std::string program = wayland ? "wf-recorder" : "ffmpeg";
  const std::string selector = wayland ? "slurp" : "slop";
  if (auto why = notInstalled(program, "recording the screen")) return fail(*why);
  if (options.region) {
    if (auto why = notInstalled(selector, "--region")) return fail(*why);
  }
  // Minutes of recording would be lost to a share that cannot start.
  if (!Resolver::resolveFromRoot<UserAccountStoreService>()->isLoggedIn()) {
    return fail("not signed in; run `lumo login TOKEN` first");
  }

  std::optional<ScreenRegion> area;
  if (options.region) {
    const RegionChoice choice = chooseRegion(selector, /*window=*/false);
    if (choice.kind == RegionChoice::Kind::cancelled) return 130;
    if (choice.kind == RegionChoice::Kind::failed) {
      return fail("no region was selected: " + choice.error);
    }
    area = choice.region;
  } else if (!wayland) {
    area = screenOf(variable("DISPLAY"));
    if (!area) return fail("cannot reach the X display " + variable("DISPLAY"));
  }
  if (area) {
    // H.264 in 4:2:0 takes even sizes only.
    area->width &= ~1;
    area->height &= ~1;
    if (area->width < 2 || area->height < 2) return fail("the region is too small to record");
  }
  auto claimed = freeCapturePath("Screen Cast", "mp4");
  if (const auto* why = std::get_if<std::string>(&claimed)) return fail(*why);
  const fs::path file = std::get<fs::path>(claimed);

  auto child = ChildProcess::start(recorder(wayland, area, options.seconds, file));
  Interrupt::stopOnExit(child->running() ? child->pid() : 0);
  Interrupt::announceAs(kStopping);
  progress.printLine("Recording " + file.string() +
                     (options.seconds ? "" : " (Ctrl-C to stop and share)"));
  std::optional<Clock::time_point> stopAt;
  if (options.seconds) {
    stopAt = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                std::chrono::duration<double>(*options.seconds));
    if (!wayland) *stopAt += kTimedGrace;  // ffmpeg stops itself (-t), to the frame
  }
  bool stoppedByUser = false;
  while (child->running() &&
         !child->wait(stopAt ? std::min(*stopAt, Clock::now() + kPoll) : Clock::now() + kPoll)) {
    if ((stoppedByUser = Interrupt::requested()) || (stopAt && Clock::now() >= *stopAt)) break;
  }
  // Asked to stop, ffmpeg and wf-recorder write the end of the file before they exit.
  const bool asked = child->running();
  if (Interrupt::takeStopOnExit() != 0) child->signal(SIGINT);
  const auto result = child->finish(Clock::now() + kFinishLimit);
  Interrupt::announceAs(nullptr);
  if (stoppedByUser) Interrupt::clear();  // acted on: the next Ctrl-C cancels the share

  std::error_code ec;
  std::uintmax_t size = fs::file_size(file, ec);
  if (ec) size = 0;
  const bool exited = result.ending == ChildProcess::Result::Ending::exited ||
                      result.ending == ChildProcess::Result::Ending::unknown;
  // Stopped by SIGINT, ffmpeg says so with status 255 after a complete file.
  if (!exited || (!asked && !result.succeeded()) || size == 0) {
    if (size == 0) fs::remove(file, ec);
    return fail("the recording failed: " + result.describe() +
                (size > 0 ? " (what it wrote is kept in " + file.string() + ")" : ""));
  }
  if (Interrupt::requested()) {  // while a timed recording was being finished
    progress.printLine("error: interrupted; the recording is kept, unshared: " + file.string());
    return 130;
  }
  ShareRun run(output, host);
  return run.share({file.string()});
}

}  // namespace lumo::cli
