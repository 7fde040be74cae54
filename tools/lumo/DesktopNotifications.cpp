#include "DesktopNotifications.h"

#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>

#include "lumo/capture/ScreenCapture.h"
#include "lumo/platform/ChildProcess.h"
#include "lumo/platform/Clipboard.h"
#include "lumo/support/DispatchQueue.h"

namespace lumo::cli {
namespace {

bool hasDisplay() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value && *value) return true;
  }
  return false;
}

// Fire and forget: run on the global queue so that a slow notification daemon never holds up
// an upload.
void notifySend(const std::string& summary, const std::string& body) {
  ChildProcess::Options options;
  options.arguments = {"notify-send", "--app-name=lumo", summary, body};
  options.errors = ChildProcess::Stream::discard;
  DispatchQueue::global().async([options = std::move(options)] {
    ChildProcess::run(options, std::chrono::steady_clock::now() + std::chrono::seconds(10));
  });
}

// Where the share service's copy of the link went: the queued notices follow that copy.
std::string linkWent() {
  using Destination = Clipboard::Destination;
  switch (Clipboard::general().lastDestination().value_or(Destination::memory)) {
    case Destination::x11:
    case Destination::xclip:
    case Destination::xsel:
      return " link on the X clipboard, upload queued";
    case Destination::wayland:
    case Destination::wlCopy:
      return " link on the Wayland clipboard, upload queued";
    case Destination::memory:
      break;
  }
  return " link not copied (no clipboard), upload queued";
}

}  // namespace

std::string DesktopNotifications::describe(const UserNotificationKind& kind) {
  using Type = UserNotificationKind::Type;
  switch (kind.type) {
    case Type::screenshotQueued:
      return "Screenshot" + linkWent();
    case Type::screencastQueued:
      return "Screencast" + linkWent();
    case Type::gifQueued:
      return "GIF" + linkWent();
    case Type::fileQueued:
      return "File" + linkWent();
    case Type::uploadCompleted:
      return "Upload completed";
    case Type::uploadFailed:
      return "Upload of the " + kind.item + " failed";
  }
  return "Notification";
}

void DesktopNotifications::showNotification(const UserNotificationKind& kind,
                                            const std::string& detail,
                                            const ScreenCapture& screenCapture) {
  const std::string name = screenCapture.fileURL().filePath().filename().string();
  std::string line = "lumo: " + describe(kind) + ": " + name;
  if (!detail.empty()) line += " (" + detail + ")";
  writeLine_(line);
  if (hasDisplay()) notifySend(describe(kind), name);  // nothing when notify-send is missing
}

}  // namespace lumo::cli
