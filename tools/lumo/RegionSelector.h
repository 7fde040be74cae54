#pragma once

#include <optional>
#include <string>

#include "lumo/platform/ChildProcess.h"

// Choosing a part of the screen with the mouse, for `lumo capture` and `lumo record`.
namespace lumo::cli {

// A rectangle of the screen, in pixels.
struct ScreenRegion {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

struct RegionChoice {
  enum class Kind { chosen, cancelled, failed };
  Kind kind = Kind::failed;
  ScreenRegion region;  // chosen
  std::string error;    // failed: one line for people
};

// Lets the user drag a region, or with `window` click a window, with `selector`: slop on X,
// slurp on Wayland (which picks regions only), as a path or a name on the PATH. With slop a
// press is always the corner of a region (`--region`) or never (`--window`), so that a quick
// drag is not taken for a click. Ctrl-C (`Interrupt::requested()`) or the tool's own cancel
// (Escape, a right click) gives `cancelled`. Main thread only.
RegionChoice chooseRegion(const std::string& selector, bool window);

// Runs a tool to its end or `deadline`, or until Ctrl-C, which kills it and gives nullopt.
// Main thread only.
std::optional<ChildProcess::Result> runUnlessInterrupted(const ChildProcess::Options& options,
                                                         ChildProcess::Clock::time_point deadline);

}  // namespace lumo::cli
