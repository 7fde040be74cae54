#include "lumo/platform/ChildProcess.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>

#include "PollTimeout.h"

extern char** environ;

namespace lumo {
namespace {

// Standard error is kept for the message of a failure: its end is what says why.
constexpr std::size_t kErrorsKept = std::size_t{64} * 1024;
// Without a pidfd (kernels before 5.3) the child's exit is looked for at this interval.
constexpr int kExitPollMs = 10;

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

// The host's environment with `changes` applied ("NAME=value" sets, "NAME" removes).
std::vector<std::string> childEnvironment(const std::vector<std::string>& changes) {
  auto nameOf = [](std::string_view entry) { return entry.substr(0, entry.find('=')); };
  std::vector<std::string> result;
  for (char** entry = environ; entry && *entry; ++entry) {
    const std::string_view text(*entry);
    const bool changed = std::any_of(changes.begin(), changes.end(), [&](const std::string& c) {
      return nameOf(c) == nameOf(text);
    });
    if (!changed) result.emplace_back(text);
  }
  for (const auto& change : changes) {
    if (change.find('=') != std::string::npos) result.push_back(change);
  }
  return result;
}

std::string_view valueIn(const std::vector<std::string>& environment, std::string_view name) {
  for (const auto& entry : environment) {
    const std::string_view text(entry);
    if (text.size() > name.size() && text.starts_with(name) && text[name.size()] == '=') {
      return text.substr(name.size() + 1);
    }
  }
  return {};
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  result.reserve(strings.size() + 1);
  for (auto& s : strings) result.push_back(s.data());
  result.push_back(nullptr);
  return result;
}

// Moves `fd` above the standard streams, so that the child's redirections of 0, 1 and 2
// cannot clobber it when the host runs with one of them closed.
FileDescriptor aboveStandardStreams(int fd) {
  FileDescriptor owned(fd);
  if (fd > STDERR_FILENO) return owned;
  return FileDescriptor(::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
}

struct Pipe {
  FileDescriptor read;
  FileDescriptor write;
};

std::optional<Pipe> makePipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
  Pipe pipe{aboveStandardStreams(fds[0]), aboveStandardStreams(fds[1])};
  if (!pipe.read || !pipe.write) return std::nullopt;
  return pipe;
}

bool setNonBlocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// A descriptor that becomes readable when the child exits; none on kernels without pidfds.
FileDescriptor exitDescriptor(pid_t pid) {
#ifdef SYS_pidfd_open
  return FileDescriptor(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
#else
  (void)pid;
  return FileDescriptor();
#endif
}

// The last non-empty line of `text`, shortened for one line of an error message.
std::string lastLine(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
    text.remove_suffix(1);
  }
  const auto start = text.find_last_of('\n');
  if (start != std::string_view::npos) text.remove_prefix(start + 1);
  constexpr std::size_t kLongest = 300;
  return std::string(text.substr(0, kLongest));
}

}  // namespace

bool ChildProcess::Result::succeeded() const {
  return (ending == Ending::exited && status == 0 && inputComplete) || ending == Ending::unknown;
}

std::string ChildProcess::Result::describe() const {
  const std::string why = lastLine(errors);
  const std::string because = why.empty() ? std::string() : ": " + why;
  switch (ending) {
    case Ending::notStarted:
      return "cannot run " + program + because;
    case Ending::exited:
      if (status == 0 && !inputComplete) return program + " exited before reading all its input";
      return program + " exited with status " + std::to_string(status) + because;
    case Ending::signalled: {
      const char* name = ::sigabbrev_np(status);
      return program + " was ended by SIG" + (name ? name : std::to_string(status)) + because;
    }
    case Ending::timedOut:
      return program + " did not finish in time and was stopped";
    case Ending::tooMuchOutput:
      return program + " wrote more output than expected and was stopped";
    case Ending::unknown:
      return program + " ended; its exit status did not reach us";
  }
  return program;
}

std::optional<std::string> ChildProcess::findProgram(std::string_view name, std::string_view path) {
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

ChildProcess::Result ChildProcess::run(const Options& options, Clock::time_point deadline) {
  return start(options)->finish(deadline);
}

std::unique_ptr<ChildProcess> ChildProcess::start(const Options& options) {
  std::unique_ptr<ChildProcess> child(new ChildProcess());
  child->launch(options);
  return child;
}

void ChildProcess::launch(const Options& options) {
  outputLimit_ = options.outputLimit;
  if (options.arguments.empty()) {
    result_.errors = "no program given";
    return;
  }
  const std::string& name = options.arguments.front();
  result_.program = std::filesystem::path(name).filename().string();
  std::vector<std::string> envStrings = childEnvironment(options.environment);
  std::string executable = name;
  if (name.find('/') == std::string::npos) {
    auto found = findProgram(name, valueIn(envStrings, "PATH"));
    if (!found) {
      result_.errors = "no such program on the PATH";
      return;
    }
    executable = std::move(*found);
  }
  auto failed = [this](int error) { result_.errors = std::generic_category().message(error); };

  std::optional<Pipe> input;
  std::optional<Pipe> output;
  std::optional<Pipe> errors;
  if ((options.input && !(input = makePipe())) ||
      (options.output == Stream::capture && !(output = makePipe())) ||
      (options.errors == Stream::capture && !(errors = makePipe()))) {
    return failed(errno);
  }

  SpawnFileActions actions;
  SpawnAttributes attributes;
  if (!actions.ok() || !attributes.ok()) return failed(ENOMEM);
  auto redirect = [&](int target, Stream stream, std::optional<Pipe>& pipe) {
    if (stream == Stream::inherit) return 0;
    if (stream == Stream::capture) {
      return posix_spawn_file_actions_adddup2(actions.get(), pipe->write.get(), target);
    }
    return posix_spawn_file_actions_addopen(actions.get(), target, "/dev/null", O_WRONLY, 0);
  };
  int rc = input ? posix_spawn_file_actions_adddup2(actions.get(), input->read.get(), STDIN_FILENO)
                 : posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null",
                                                    O_RDONLY, 0);
  if (rc == 0) rc = redirect(STDOUT_FILENO, options.output, output);
  if (rc == 0) rc = redirect(STDERR_FILENO, options.errors, errors);
  if (rc == 0) rc = posix_spawn_file_actions_addclosefrom_np(actions.get(), STDERR_FILENO + 1);
  // A clean signal state whatever the calling thread blocks or the host ignores, and a
  // process group of its own, which a kill reaches whole.
  sigset_t none;
  sigemptyset(&none);
  sigset_t all;
  sigfillset(&all);
  if (rc == 0) {
    rc = posix_spawnattr_setflags(
        attributes.get(), POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  }
  if (rc == 0) rc = posix_spawnattr_setpgroup(attributes.get(), 0);
  if (rc == 0) rc = posix_spawnattr_setsigmask(attributes.get(), &none);
  if (rc == 0) rc = posix_spawnattr_setsigdefault(attributes.get(), &all);
  if (rc != 0) return failed(rc);

  std::vector<std::string> argvStrings = options.arguments;
  std::vector<char*> argv = pointers(argvStrings);
  std::vector<char*> envp = pointers(envStrings);
  pid_t pid = -1;
  rc = posix_spawn(&pid, executable.c_str(), actions.get(), attributes.get(), argv.data(),
                   envp.data());
  if (rc != 0) return failed(rc);
  pid_ = pid;
  result_.ending = Result::Ending::unknown;
  exitFd_ = exitDescriptor(pid);

  if (input) {
    inputFd_ = std::move(input->write);
    input_ = *options.input;
    if (!setNonBlocking(inputFd_.get())) inputFd_.reset();
    result_.inputComplete = input_.empty();
    if (input_.empty()) inputFd_.reset();
  }
  if (output && setNonBlocking(output->read.get())) outputFd_ = std::move(output->read);
  if (errors && setNonBlocking(errors->read.get())) errorsFd_ = std::move(errors->read);
}

ChildProcess::~ChildProcess() {
  if (running()) kill();
}

void ChildProcess::signal(int signal) const {
  if (running()) ::kill(-pid_, signal);
}

bool ChildProcess::wait(Clock::time_point deadline) {
  while (running()) {
    if (reap(false)) break;
    if (overLimit_) {
      kill();
      break;
    }
    const int timeout = detail::pollTimeout(deadline);
    if (timeout == 0) return false;
    pump(exitFd_ ? timeout : std::min(timeout, kExitPollMs));
  }
  drain();
  return true;
}

ChildProcess::Result ChildProcess::finish(Clock::time_point deadline) {
  if (!wait(deadline)) {
    kill();
    drain();
  }
  return std::move(result_);
}

void ChildProcess::pump(int timeoutMs) {
  std::array<pollfd, 4> fds{};
  std::size_t count = 0;
  auto watch = [&](const FileDescriptor& fd, short events) {
    if (fd) fds[count++] = pollfd{fd.get(), events, 0};
  };
  watch(inputFd_, POLLOUT);
  watch(outputFd_, POLLIN);
  watch(errorsFd_, POLLIN);
  watch(exitFd_, POLLIN);
  if (::poll(fds.data(), count, timeoutMs) <= 0) return;
  // A ready descriptor is only tried: a read or write that would block does nothing.
  if (inputFd_) writeInput();
  if (outputFd_) readFrom(outputFd_, result_.output, 0);
  if (errorsFd_) readFrom(errorsFd_, result_.errors, kErrorsKept);
}

// What a child that has exited left in its pipes. A program that forked a helper which keeps
// the pipes open (a clipboard tool serving the selection) is not waited for.
void ChildProcess::drain() {
  inputFd_.reset();
  if (outputFd_) readFrom(outputFd_, result_.output, 0);
  if (errorsFd_) readFrom(errorsFd_, result_.errors, kErrorsKept);
  outputFd_.reset();
  errorsFd_.reset();
  exitFd_.reset();
}

// Reads what `fd` has now. `keep`, when not 0, keeps only the end of the text.
void ChildProcess::readFrom(FileDescriptor& fd, std::string& into, std::size_t keep) {
  std::array<char, 65536> buffer{};
  while (true) {
    const ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
    if (n > 0) {
      into.append(buffer.data(), static_cast<std::size_t>(n));
      if (keep && into.size() > 2 * keep) into.erase(0, into.size() - keep);
      if (!keep && into.size() > outputLimit_) {
        overLimit_ = true;
        return;
      }
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    fd.reset();  // end of file, or an error that will not go away
    return;
  }
}

// Writes what the pipe takes now of the input, and closes it once all is written.
//
// When the child has closed its end, the write fails with EPIPE and the kernel raises SIGPIPE
// on this thread; by default that would end the host. The signal is blocked on this thread for
// the write and, if the write raised it, taken off the pending set before the mask is restored.
// A SIGPIPE that was already pending for another reason is left for the host.
void ChildProcess::writeInput() {
  sigset_t pipeSignal;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  sigset_t previousMask;
  pthread_sigmask(SIG_BLOCK, &pipeSignal, &previousMask);
  sigset_t pending;
  sigemptyset(&pending);
  sigpending(&pending);
  const bool wasPending = sigismember(&pending, SIGPIPE) == 1;

  bool brokenPipe = false;
  while (inputWritten_ < input_.size()) {
    const ssize_t n =
        ::write(inputFd_.get(), input_.data() + inputWritten_, input_.size() - inputWritten_);
    if (n > 0) {
      inputWritten_ += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    brokenPipe = n < 0 && errno == EPIPE;
    inputFd_.reset();
    break;
  }
  if (brokenPipe && !wasPending) {
    const timespec noWait{0, 0};
    while (sigtimedwait(&pipeSignal, nullptr, &noWait) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
  result_.inputComplete = inputWritten_ == input_.size();
  if (result_.inputComplete) inputFd_.reset();  // end of input
}

bool ChildProcess::reap(bool block) {
  int status = 0;
  pid_t r = -1;
  while ((r = ::waitpid(pid_, &status, block ? 0 : WNOHANG)) < 0 && errno == EINTR) {
  }
  if (r == 0) return false;
  if (r == pid_ && WIFEXITED(status)) {
    result_.ending = Result::Ending::exited;
    result_.status = WEXITSTATUS(status);
  } else if (r == pid_ && WIFSIGNALED(status)) {
    result_.status = WTERMSIG(status);
    result_.ending = Result::Ending::signalled;
    if (killedByUs_ && result_.status == SIGKILL) {
      result_.ending = overLimit_ ? Result::Ending::tooMuchOutput : Result::Ending::timedOut;
    }
  } else {
    result_.ending = Result::Ending::unknown;  // ECHILD: the host reaps its children itself
  }
  pid_ = -1;
  return true;
}

void ChildProcess::kill() {
  killedByUs_ = true;
  ::kill(-pid_, SIGKILL);
  reap(true);
}

}  // namespace lumo
