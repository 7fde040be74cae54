#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace lumo {

// What `Clipboard` asks of an owner of a display's clipboard selection held inside the
// process (X today; a Wayland owner satisfies the same calls). The clipboard connects one
// through a worker thread it may abandon, so `connect` itself may block; the calls below must
// keep to their deadline whatever the display does.
//
// Thread-safe: the clipboard's copies and its background hand-off call it concurrently.
class SelectionOwner {
 public:
  using Clock = std::chrono::steady_clock;

  virtual ~SelectionOwner() = default;

  // False once the connection has failed: the owner serves nothing any more.
  virtual bool usable() const = 0;
  // The longest text `own` takes; longer ones go to the tools.
  virtual std::size_t maxText() const = 0;
  // Serves `text` from now on and takes the selection. True once the display has confirmed us
  // as its owner, false when it has not by `deadline`.
  virtual bool own(std::string_view text, Clock::time_point deadline) = 0;
  // The text we serve while the display still names us the owner; absent once another client
  // (a tool we handed the text to included) has taken the selection, or past `deadline`.
  virtual std::optional<std::string> ownedText(Clock::time_point deadline) = 0;
};

}  // namespace lumo
