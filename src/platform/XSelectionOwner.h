#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "SelectionOwner.h"
#include "lumo/platform/FileDescriptor.h"

struct xcb_connection_t;

namespace lumo {

// Owns the CLIPBOARD selection of one X display from inside the process: a connection of its
// own, an unmapped window to own the selection with, and one thread that answers the other
// clients' requests for it (TARGETS, TIMESTAMP, MULTIPLE, UTF8_STRING, STRING, TEXT and
// text/plain;charset=utf-8).
//
// `own` takes the selection at a real server time, read from the PropertyNotify of a
// zero-length append to a property of our window (ICCCM 2.1): TIMESTAMP answers with it, and a
// request from before it is refused. It returns once the server names our window as the
// owner; no process is started. The text is served until another client takes the selection
// (SelectionClear) or the owner is destroyed; the X server then forgets our window, so the
// clipboard hands the text to a tool that outlives the process.
//
// `connect` waits on the display without a bound (xcb has no other way to connect): the
// clipboard runs it on a worker it can abandon. Everything else keeps to its deadline: replies
// are polled, never waited for. Texts larger than one property (`maxText`) are refused: they
// would need INCR transfers. Thread-safe.
class XSelectionOwner final : public SelectionOwner {
 public:
  // Connects to `display`; null when the display cannot be reached.
  static std::unique_ptr<XSelectionOwner> connect(const std::string& display);
  ~XSelectionOwner() override;

  XSelectionOwner(const XSelectionOwner&) = delete;
  XSelectionOwner& operator=(const XSelectionOwner&) = delete;

  std::size_t maxText() const override { return maxText_; }
  bool usable() const override;
  bool own(std::string_view text, Clock::time_point deadline) override;
  std::optional<std::string> ownedText(Clock::time_point deadline) override;

 private:
  struct Atoms;
  struct Disconnect {
    void operator()(xcb_connection_t* connection) const;
  };
  using Connection = std::unique_ptr<xcb_connection_t, Disconnect>;

  XSelectionOwner(Connection connection, std::uint32_t window, std::unique_ptr<Atoms> atoms,
                  FileDescriptor wake);

  void serve();
  void wake();
  // The reply to request `sequence` (to be freed), or null on an error or past `deadline`.
  // `serving`: called by `serve` itself, which then reads the connection on its own.
  void* reply(unsigned sequence, Clock::time_point deadline, bool serving);
  void answer(const void* event);
  bool convert(std::uint32_t requestor, std::uint32_t target, std::uint32_t property,
               const std::string& text, std::uint32_t time, bool nested);
  void clear(const void* event);

  // xcb serialises its own use across threads. Declared before the thread, so destroyed after
  // it: closing the connection destroys the window, and the server forgets it as the owner.
  const Connection connection_;
  const std::uint32_t window_;
  const std::unique_ptr<Atoms> atoms_;
  const FileDescriptor wake_;  // eventfd: wakes `serve` for queued events or to stop
  std::size_t maxText_ = 0;

  std::mutex owning_;  // serialises `own`, whose time request must be the only one in flight

  mutable std::mutex mu_;
  std::condition_variable read_;       // `serve` has read from the connection, or stops
  std::optional<std::string> text_;    // guarded by mu_; absent: nothing to serve
  std::uint32_t ownRequest_ = 0;       // guarded by mu_; sequence of our last SetSelectionOwner
  std::uint32_t ownTime_ = 0;          // guarded by mu_; the server time we took it at
  std::uint32_t propertyTime_ = 0;     // guarded by mu_; time of the last PropertyNotify
  std::uint64_t propertyChanges_ = 0;  // guarded by mu_; PropertyNotify events seen
  std::uint64_t reads_ = 0;            // guarded by mu_; rounds of events `serve` has read
  bool stopping_ = false;              // guarded by mu_

  std::thread thread_;  // started last, joined by the destructor
};

}  // namespace lumo
