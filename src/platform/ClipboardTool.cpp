#include "ClipboardTool.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "PollTimeout.h"
#include "lumo/platform/FileDescriptor.h"

extern char** environ;

namespace lumo::detail {
namespace {

using Clock = std::chrono::steady_clock;

// RAII for the two posix_spawn descriptions.
class SpawnFileActions {
 public:
  SpawnFileActions() { ok_ = posix_spawn_file_actions_init(&actions_) == 0; }
  ~SpawnFileActions() {
    if (ok_) posix_spawn_file_actions_destroy(&actions_);
  }
  SpawnFileActions(const SpawnFileActions&) = delete;
  SpawnFileActions& operator=(const SpawnFileActions&) = delete;
  bool ok() const { return ok_; }
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_{};
  bool ok_ = false;
};

class SpawnAttributes {
 public:
  SpawnAttributes() { ok_ = posix_spawnattr_init(&attributes_) == 0; }
  ~SpawnAttributes() {
    if (ok_) posix_spawnattr_destroy(&attributes_);
  }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  bool ok() const { return ok_; }
  posix_spawnattr_t* get() { return &attributes_; }

 private:
  posix_spawnattr_t attributes_{};
  bool ok_ = false;
};

// The process's environment with the display variables and the path of `environment` in
// place of its own, so that the tool talks to the display it was chosen for.
std::vector<std::string> childEnvironment(const Clipboard::Environment& environment) {
  static constexpr std::string_view kReplaced[] = {"WAYLAND_DISPLAY=", "DISPLAY=", "PATH="};
  std::vector<std::string> result;
  for (char** entry = environ; entry && *entry; ++entry) {
    std::string_view text(*entry);
    bool replaced = std::any_of(std::begin(kReplaced), std::end(kReplaced),
                                [&](std::string_view prefix) { return text.starts_with(prefix); });
    if (!replaced) result.emplace_back(text);
  }
  if (!environment.waylandDisplay.empty()) {
    result.push_back("WAYLAND_DISPLAY=" + environment.waylandDisplay);
  }
  if (!environment.display.empty()) result.push_back("DISPLAY=" + environment.display);
  if (!environment.path.empty()) result.push_back("PATH=" + environment.path);
  return result;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  result.reserve(strings.size() + 1);
  for (auto& s : strings) result.push_back(s.data());
  result.push_back(nullptr);
  return result;
}

// Moves `fd` to a number above the standard streams, so that the child's redirections of
// 0, 1 and 2 cannot clobber it when the host runs with one of them closed.
FileDescriptor aboveStandardStreams(int fd) {
  FileDescriptor owned(fd);
  if (fd > STDERR_FILENO) return owned;
  return FileDescriptor(::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
}

// Writes all of `data` to the non-blocking pipe `fd` before `deadline`.
//
// When the reader has gone, the write fails with EPIPE and the kernel raises SIGPIPE on this
// thread; by default that would end the host. The signal is blocked on this thread for the
// duration and, if the write raised it, taken off the pending set before the mask is
// restored. A SIGPIPE that was already pending for another reason is left for the host.
bool writeAll(int fd, std::string_view data, Clock::time_point deadline) {
  sigset_t pipeSignal;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  sigset_t previousMask;
  pthread_sigmask(SIG_BLOCK, &pipeSignal, &previousMask);
  sigset_t pending;
  sigemptyset(&pending);
  sigpending(&pending);
  const bool wasPending = sigismember(&pending, SIGPIPE) == 1;

  bool complete = true;
  bool brokenPipe = false;
  std::size_t written = 0;
  while (written < data.size()) {
    ssize_t n = ::write(fd, data.data() + written, data.size() - written);
    if (n > 0) {
      written += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      int timeout = pollTimeout(deadline);
      if (timeout == 0) {
        complete = false;
        break;
      }
      pollfd p{fd, POLLOUT, 0};
      ::poll(&p, 1, timeout);  // POLLERR (reader gone) shows up as EPIPE on the next write
      continue;
    }
    brokenPipe = n < 0 && errno == EPIPE;
    complete = false;
    break;
  }

  if (brokenPipe && !wasPending) {
    const timespec noWait{0, 0};
    while (sigtimedwait(&pipeSignal, nullptr, &noWait) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
  return complete;
}

// Reaps `pid`, killing its process group when it has not exited by `deadline` (a child it
// forked to serve the selection would otherwise take it later, with a text that is no longer
// the newest). True when it exited with status 0, or when its status cannot be known because
// the host reaps children itself.
bool reap(pid_t pid, Clock::time_point deadline) {
  auto pause = std::chrono::milliseconds(1);
  while (true) {
    int status = 0;
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return errno == ECHILD;
    if (Clock::now() >= deadline) break;
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(20));
  }
  ::kill(-pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return false;
}

}  // namespace

std::string variable(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

// The executable called `name` in the first folder of `path` that has one. An empty entry
// of the path stands for the current folder, as for the shell; no path at all means the
// system's default one.
std::optional<std::string> findOnPath(std::string_view name, std::string_view path) {
  static constexpr std::string_view kDefaultPath = "/usr/local/bin:/usr/bin:/bin";
  if (path.empty()) path = kDefaultPath;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find(':', start);
    if (end == std::string_view::npos) end = path.size();
    std::string folder(path.substr(start, end - start));
    if (folder.empty()) folder = ".";
    std::string candidate = folder + "/" + std::string(name);
    struct stat st {};
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        ::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    start = end + 1;
  }
  return std::nullopt;
}

// Runs one tool with `text` on its standard input. True when the tool took all of it and
// exited successfully by `deadline`.
bool runTool(const Clipboard::Command& command, const Clipboard::Environment& environment,
             std::string_view text, Clock::time_point deadline) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  FileDescriptor readEnd = aboveStandardStreams(fds[0]);
  FileDescriptor writeEnd = aboveStandardStreams(fds[1]);
  if (readEnd.get() < 0 || writeEnd.get() < 0) return false;

  SpawnFileActions actions;
  SpawnAttributes attributes;
  if (!actions.ok() || !attributes.ok()) return false;
  // Standard input from our pipe; output to /dev/null, since the tool's child that serves
  // the selection would keep a pipe open for as long as it lives; no other descriptor of
  // the host.
  if (posix_spawn_file_actions_adddup2(actions.get(), readEnd.get(), STDIN_FILENO) != 0 ||
      posix_spawn_file_actions_addopen(actions.get(), STDOUT_FILENO, "/dev/null", O_WRONLY, 0) !=
          0 ||
      posix_spawn_file_actions_adddup2(actions.get(), STDOUT_FILENO, STDERR_FILENO) != 0 ||
      posix_spawn_file_actions_addclosefrom_np(actions.get(), STDERR_FILENO + 1) != 0) {
    return false;
  }
  // A clean signal state for the tool, whatever the calling thread blocks or the host
  // ignores; a process group of its own, which `reap` may kill with the tool's children.
  sigset_t none;
  sigemptyset(&none);
  sigset_t all;
  sigfillset(&all);
  if (posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                                     POSIX_SPAWN_SETPGROUP) != 0 ||
      posix_spawnattr_setpgroup(attributes.get(), 0) != 0 ||
      posix_spawnattr_setsigmask(attributes.get(), &none) != 0 ||
      posix_spawnattr_setsigdefault(attributes.get(), &all) != 0) {
    return false;
  }

  std::vector<std::string> argvStrings;
  argvStrings.push_back(command.executable);
  argvStrings.insert(argvStrings.end(), command.arguments.begin(), command.arguments.end());
  std::vector<char*> argv = pointers(argvStrings);
  std::vector<std::string> envStrings = childEnvironment(environment);
  std::vector<char*> envp = pointers(envStrings);

  pid_t pid = -1;
  if (posix_spawn(&pid, command.executable.c_str(), actions.get(), attributes.get(), argv.data(),
                  envp.data()) != 0) {
    return false;
  }
  readEnd.reset();

  const int flags = ::fcntl(writeEnd.get(), F_GETFL);
  bool written = flags >= 0 && ::fcntl(writeEnd.get(), F_SETFL, flags | O_NONBLOCK) == 0 &&
                 writeAll(writeEnd.get(), text, deadline);
  writeEnd.reset();  // end of input
  bool exited = reap(pid, written ? deadline : Clock::now());
  return written && exited;
}

}  // namespace lumo::detail
