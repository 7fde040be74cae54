#pragma once

#include <sys/types.h>

namespace lumo::cli {

// Ctrl-C. The first SIGINT is only counted, so that the work in flight can be cancelled and
// its states saved; a second one ends the process at once with status 130.
class Interrupt {
 public:
  // Counts SIGINT from now on. Call once, from the main thread, before other threads start.
  static void install();
  // Counts SIGTERM as a Ctrl-C too: a session that ends stops a recording as the user would.
  // Main thread.
  static void includeTerminate();
  // Whether the first Ctrl-C says on standard error that the work is being cancelled (not
  // under --quiet, where standard error holds only "error:" lines).
  static void announce(bool announce);
  // What the first Ctrl-C says instead of "cancelling": a line that lives for good (a string
  // literal); null for the usual one.
  static void announceAs(const char* line);
  static bool requested();
  // Forgets the Ctrl-C counted so far, which has been acted on: the next one starts over.
  static void clear();
  // A process group that is asked to stop (SIGINT) when a second Ctrl-C ends the process at
  // once, so that a child told to stop by the first one stops even if we had not told it yet.
  static void stopOnExit(pid_t group);
  // Takes the group back to tell it to stop ourselves: 0 when the exit has taken it. A second
  // SIGINT breaks ffmpeg's ending of its file, so exactly one of the two sends the first.
  static pid_t takeStopOnExit();
};

}  // namespace lumo::cli
