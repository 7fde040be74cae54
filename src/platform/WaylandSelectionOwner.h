#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "lumo/platform/FileDescriptor.h"

namespace lumo {

// Owns the regular selection of one Wayland compositor from inside the process, through the
// data-control protocol of wlroots compositors (sway, Hyprland, river...) and KDE: a
// connection of its own and one thread that does all the Wayland work, answering the other
// clients' requests for the text (text/plain;charset=utf-8, UTF8_STRING, TEXT, text/plain, and
// STRING when the text is ASCII) and the calls of `own` and `ownedText`.
//
// `own` returns once the compositor has made our source the selection, so the text can be
// pasted from then on; no process is started. The text is served until another client takes
// the selection or the owner is destroyed; the compositor then drops our source, so a host
// that wants the text to outlive it must hand it to a tool (wl-copy) first.
//
// Every wait on the compositor is bounded: one that does not answer in time counts as gone,
// and the owner is no longer usable. A transfer to a paster that does not read is dropped
// after the same bound, and a paster that closes its end early raises no SIGPIPE in the host.
//
// Thread-safe: any thread may call any member, the destructor excepted (not while a call is
// under way).
class WaylandSelectionOwner {
 public:
  static constexpr std::chrono::milliseconds kTimeout{2000};

  // Connects to `waylandDisplay`, a socket name under XDG_RUNTIME_DIR or a full path, as
  // WAYLAND_DISPLAY holds it. Null when the display cannot be reached or answered, or lacks
  // the data-control protocol or a seat, within `timeout`.
  static std::unique_ptr<WaylandSelectionOwner> connect(
      const std::string& waylandDisplay, std::chrono::milliseconds timeout = kTimeout);
  ~WaylandSelectionOwner();

  WaylandSelectionOwner(const WaylandSelectionOwner&) = delete;
  WaylandSelectionOwner& operator=(const WaylandSelectionOwner&) = delete;

  const std::string& display() const { return display_; }
  // False once the connection failed, the seat went, or the compositor missed a bound: the
  // owner serves nothing any more.
  bool usable() const;

  // Serves `text` from now on and makes it the selection. True when the compositor confirmed
  // our source as the selection within `timeout`; false, and the text is not served, else.
  bool own(std::string_view text, std::chrono::milliseconds timeout = kTimeout);
  // The text we serve if our source is still the selection (one round trip).
  std::optional<std::string> ownedText(std::chrono::milliseconds timeout = kTimeout);

 private:
  struct Session;  // the Wayland objects; used by the serving thread only once it runs
  // A call of `own` (with its text) or of `ownedText` (without), for the serving thread.
  struct Call {
    std::uint64_t id = 0;
    std::optional<std::string> text;
  };
  struct Answer {
    bool owned = false;
    std::optional<std::string> text;
  };

  WaylandSelectionOwner(std::string display, std::unique_ptr<Session> session, FileDescriptor wake);

  std::optional<Answer> ask(std::optional<std::string> text, std::chrono::milliseconds timeout);
  void serve();
  void wake();
  // Serving thread: called by the Wayland listeners.
  void answer(std::uint64_t id, Answer answer);
  void failAll();

  const std::string display_;
  // Declared before the thread, so destroyed after it: disconnecting drops our source, and
  // with it the selection if it is still ours.
  const std::unique_ptr<Session> session_;
  const FileDescriptor wake_;  // eventfd: wakes `serve` for a call or to stop

  mutable std::mutex mu_;
  std::condition_variable answered_;         // signalled when `answers_` grows
  std::deque<Call> calls_;                   // guarded by mu_; not yet taken by `serve`
  std::map<std::uint64_t, Answer> answers_;  // guarded by mu_; by call id
  std::uint64_t lastCall_ = 0;               // guarded by mu_
  bool broken_ = false;                      // guarded by mu_; see `usable`
  bool stopping_ = false;                    // guarded by mu_

  std::thread thread_;  // started last, joined by the destructor
};

}  // namespace lumo
