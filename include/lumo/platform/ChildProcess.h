#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lumo/Export.h"
#include "lumo/platform/FileDescriptor.h"

namespace lumo {

// A program run as a child of this process: the one way the library and its hosts run the
// desktop's tools (clipboard tools, screen grabbers, recorders, notifiers).
//
//   ChildProcess::Options options;
//   options.arguments = {"maim", "--hidecursor", path};
//   auto result = ChildProcess::run(options, std::chrono::steady_clock::now() + 30s);
//   if (!result.succeeded()) return fail(result.describe());   // "maim exited with status 1: ..."
//
// Long runs (a recorder) start, are signalled and finish:
//
//   auto child = ChildProcess::start(options);
//   if (!child->running()) return fail(child->finish(now).describe());
//   while (!child->wait(now + 100ms) && !interrupted()) {}
//   child->signal(SIGINT);                 // asks it to write its file and stop
//   auto result = child->finish(now + 10s);  // killed if it has not stopped by then
//
// No shell is involved: arguments reach the program as given. The child runs in a process
// group of its own, so a terminal's Ctrl-C reaches the host alone and the host decides what
// the child gets; a kill reaches the helpers the program forked too. It starts with default
// signal dispositions, an empty signal mask and no descriptor of the host beyond 0, 1 and 2.
// Every wait is bounded by a deadline. A child still running when its `ChildProcess` goes is
// killed with its group and reaped: none is left behind.
//
// One object is used by one thread at a time; different objects run on any threads.
class LUMO_API ChildProcess {
 public:
  using Clock = std::chrono::steady_clock;

  // What becomes of standard output or standard error.
  enum class Stream {
    discard,  // /dev/null
    capture,  // read into the result (standard error: its last 64 KiB)
    inherit,  // the host's own
  };

  struct Options {
    // The program and its arguments. A program name without a slash is looked up in the PATH
    // the child will have.
    std::vector<std::string> arguments;
    // Changes to the host's environment: "NAME=value" sets, "NAME" alone removes.
    std::vector<std::string> environment;
    // Written to standard input, which is then closed. Without it, input is /dev/null.
    std::optional<std::string> input;
    Stream output = Stream::discard;
    Stream errors = Stream::capture;
    // Captured standard output past this size kills the child: the result says so.
    std::size_t outputLimit = std::size_t{512} << 20;
  };

  struct Result {
    enum class Ending {
      notStarted,     // `errors` says why
      exited,         // `status` is the exit status
      signalled,      // `status` is the signal that ended it
      timedOut,       // killed by us: its deadline passed
      tooMuchOutput,  // killed by us: its captured output went past the limit
      unknown,        // the host reaps its children itself, so the status never reached us
    };
    std::string program;
    Ending ending = Ending::notStarted;
    int status = -1;
    std::string output;
    std::string errors;
    // All of `input` reached the child before standard input was closed.
    bool inputComplete = true;

    // Exited with status 0 having taken all of its input. A status that never reached us
    // counts as success: the caller judges by what the program made.
    bool succeeded() const;
    // One line for people: "maim exited with status 1: Failed to open display", "cannot run
    // grim: No such file or directory", "wf-recorder was stopped after its deadline".
    std::string describe() const;
  };

  // Runs the program to its end: `finish(deadline)` of `start(options)`.
  static Result run(const Options& options, Clock::time_point deadline);

  // Starts the program. A program that could not start gives an object that is not
  // `running()`, whose `finish` says why.
  static std::unique_ptr<ChildProcess> start(const Options& options);

  // The executable called `name` in the first folder of `path` that has one. An empty entry of
  // the path stands for the current folder, as for the shell; an empty path means the system's
  // default one.
  static std::optional<std::string> findProgram(std::string_view name, std::string_view path);

  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Started and not yet reaped.
  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  // Sends `signal` to the child's process group; nothing once it has been reaped.
  void signal(int signal) const;

  // Feeds its input and reads its output until it exits or `deadline` passes. True once it
  // has exited (or never started); it is then reaped and `finish` returns at once.
  bool wait(Clock::time_point deadline);

  // Waits until `deadline`, then kills the child's group if it still runs, and gives the
  // result. Call once.
  Result finish(Clock::time_point deadline);

 private:
  ChildProcess() = default;
  void launch(const Options& options);
  void pump(int timeoutMs);
  void drain();
  void readFrom(FileDescriptor& fd, std::string& into, std::size_t keep);
  void writeInput();
  bool reap(bool block);
  void kill();

  Result result_;
  pid_t pid_ = -1;
  FileDescriptor exitFd_;  // pidfd: readable once the child has exited
  FileDescriptor inputFd_;
  FileDescriptor outputFd_;
  FileDescriptor errorsFd_;
  std::string input_;
  std::size_t inputWritten_ = 0;
  std::size_t outputLimit_ = 0;
  bool overLimit_ = false;
  bool killedByUs_ = false;
};

}  // namespace lumo
