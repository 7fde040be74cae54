#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "lumo/platform/FileDescriptor.h"

struct xcb_connection_t;

namespace lumo {

// Owns the CLIPBOARD selection of one X display from inside the process: a connection of its
// own, an unmapped window to own the selection with, and one thread that answers the other
// clients' requests for it (TARGETS, UTF8_STRING, STRING, TEXT and text/plain;charset=utf-8).
//
// `own` returns once the server names our window as the owner, so the text can be pasted
// from then on; no process is started. The text is served until another client takes the
// selection (SelectionClear) or the owner is destroyed; the X server then forgets our window,
// so a host that wants the text to outlive it must hand it to a tool first (see
// `Clipboard::handOff`).
//
// Texts larger than one property (`maxText`) are refused: they would need INCR transfers.
// Thread-safe.
class XSelectionOwner {
 public:
  // Connects to `display`; null when the display cannot be reached.
  static std::unique_ptr<XSelectionOwner> connect(const std::string& display);
  ~XSelectionOwner();

  XSelectionOwner(const XSelectionOwner&) = delete;
  XSelectionOwner& operator=(const XSelectionOwner&) = delete;

  const std::string& display() const { return display_; }
  std::size_t maxText() const { return maxText_; }
  // False once the connection has failed: the owner serves nothing any more.
  bool usable() const;

  // Serves `text` from now on and takes the selection. True when the server confirmed us as
  // its owner.
  bool own(std::string_view text);
  // The text we serve if the server still names our window as the owner (one round trip).
  std::optional<std::string> ownedText();

 private:
  struct Atoms;
  struct Disconnect {
    void operator()(xcb_connection_t* connection) const;
  };
  using Connection = std::unique_ptr<xcb_connection_t, Disconnect>;

  XSelectionOwner(std::string display, Connection connection, std::uint32_t window,
                  std::unique_ptr<Atoms> atoms, FileDescriptor wake);

  void serve();
  void wake();
  void answer(const void* event);
  void clear(const void* event);

  const std::string display_;
  // xcb serialises its own use across threads. Declared before the thread, so destroyed after
  // it: closing the connection destroys the window, and the server forgets it as the owner.
  const Connection connection_;
  const std::uint32_t window_;
  const std::unique_ptr<Atoms> atoms_;
  const FileDescriptor wake_;  // eventfd: wakes `serve` for queued events or to stop
  std::size_t maxText_ = 0;

  mutable std::mutex mu_;
  std::optional<std::string> text_;  // guarded by mu_; absent: nothing to serve
  std::uint32_t ownRequest_ = 0;     // guarded by mu_; sequence of our last SetSelectionOwner
  bool stopping_ = false;            // guarded by mu_

  std::thread thread_;  // started last, joined by the destructor
};

}  // namespace lumo
