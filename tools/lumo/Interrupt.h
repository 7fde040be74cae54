#pragma once

namespace lumo::cli {

// Ctrl-C. The first SIGINT is only counted, so that the work in flight can be cancelled and
// its states saved; a second one ends the process at once with status 130.
class Interrupt {
 public:
  // Counts SIGINT from now on. Call once, from the main thread, before other threads start.
  static void install();
  // Whether the first Ctrl-C says on standard error that the work is being cancelled (not
  // under --quiet, where standard error holds only "error:" lines).
  static void announce(bool announce);
  static bool requested();
};

}  // namespace lumo::cli
