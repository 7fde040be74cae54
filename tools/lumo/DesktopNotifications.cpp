#include "DesktopNotifications.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "lumo/capture/ScreenCapture.h"
#include "lumo/platform/Clipboard.h"
#include "lumo/support/DispatchQueue.h"

extern char** environ;

namespace lumo::cli {
namespace {

bool hasDisplay() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value && *value) return true;
  }
  return false;
}

bool onPath(const std::string& tool) {
  const char* path = std::getenv("PATH");
  std::stringstream folders(path ? path : "");
  for (std::string folder; std::getline(folders, folder, ':');) {
    if (!folder.empty() && ::access((folder + "/" + tool).c_str(), X_OK) == 0) return true;
  }
  return false;
}

// Fire and forget: the child is reaped on the global queue so that a slow notification daemon
// never holds up an upload.
void notifySend(const std::string& summary, const std::string& body) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> args{"notify-send", "--app-name=lumo", summary, body};
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, "notify-send", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc == 0) DispatchQueue::global().async([pid] { ::waitpid(pid, nullptr, 0); });
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
  if (hasDisplay() && onPath("notify-send")) notifySend(describe(kind), name);
}

}  // namespace lumo::cli
