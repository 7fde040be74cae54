#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <variant>

#include "DesktopCommands.h"

// The programs that take a screenshot for `lumo capture`, and which of them fits the session.
namespace lumo::cli {

class ScreenGrabber {
 public:
  using Clock = std::chrono::steady_clock;
  enum class Tool { portal, grim, maim, import };

  // How a grab ended: `taken` wrote the file; `cancelled` (Ctrl-C, or the selection was given
  // up) and `failed` (with `error`) leave whatever is at the path to the caller.
  struct Outcome {
    enum class Kind { taken, cancelled, failed };
    Kind kind = Kind::failed;
    std::string error;
  };

  // The first back-end that can take `area` in this session: the desktop portal when the
  // session bus offers it, else grim (with slurp) on Wayland, else maim or import (with slop)
  // on X. When the tool the session calls for cannot take `area`, or none is installed, the
  // one line that says so (and which package would help).
  static std::variant<ScreenGrabber, std::string> choose(CaptureOptions::Area area);

  Tool tool() const { return tool_; }
  const char* name() const;

  // Takes the screenshot into `file` (PNG), asking for the region or window first when the
  // area calls for it. Polls `Interrupt::requested()` throughout. Main thread only.
  Outcome take(const std::filesystem::path& file) const;

 private:
  ScreenGrabber(Tool tool, CaptureOptions::Area area, std::string program, std::string selector)
      : tool_(tool), area_(area), program_(std::move(program)), selector_(std::move(selector)) {}
  // The region or window chosen, as the grabbing tool takes it ("WxH+X+Y" for maim and import,
  // "X,Y WxH" for grim), or why there is none.
  std::variant<std::string, Outcome> select() const;
  Outcome takeWithPortal(const std::filesystem::path& file) const;

  Tool tool_;
  CaptureOptions::Area area_;
  std::string program_;   // the grabbing tool's path; empty for the portal
  std::string selector_;  // slop or slurp when the area needs one
};

}  // namespace lumo::cli
