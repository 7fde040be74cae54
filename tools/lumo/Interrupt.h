#pragma once

namespace lumo::cli {

// Ctrl-C. The first SIGINT is only counted, so that the work in flight can be cancelled and
// its states saved; a second one ends the process at once with status 130.
class Interrupt {
 public:
  static void install();
  static bool requested();
};

}  // namespace lumo::cli
