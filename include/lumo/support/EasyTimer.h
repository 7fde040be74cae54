#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "lumo/Export.h"

namespace lumo {

// A repeating timer on the main queue that counts its ticks and calls a handler on each one; it
// can be stopped and resumed from the count reached, so that it serves as an elapsed-seconds
// counter.
//
//   EasyTimer timer([&] { label = TimerFormatter().formattedTimeString(timer.spentTime()); });
//   timer.start(1.0, /*repeats=*/true, /*immediately=*/true);
//   ...
//   timer.stop();     // saves the count
//   timer.resume();   // continues from it
//
// Ticks run on the main thread (see DispatchQueue::main()); `start`, `resume` and `stop` are
// meant for the main thread too. `start` schedules the timer asynchronously on the main queue.
// Starting again while running replaces the earlier timer, which stops. Destroying the
// EasyTimer stops its timer.
class LUMO_API EasyTimer {
 public:
  using Handler = std::function<void()>;

  explicit EasyTimer(Handler handler);
  ~EasyTimer();
  EasyTimer(const EasyTimer&) = delete;
  EasyTimer& operator=(const EasyTimer&) = delete;

  // Calls the handler now when `immediately` (on the caller's thread), then ticks every
  // `interval` seconds on the main queue, once or repeatedly.
  void start(double interval, bool repeats, bool immediately);
  // Continues counting from the count saved by the last `stop()`: one-second repeating ticks,
  // with an immediate call of the handler.
  void resume();
  // Stops ticking and saves the count; without a running timer nothing happens.
  void stop();

  // Ticks counted since the last start or resume.
  std::int64_t spentTime() const;

 private:
  struct Ticker;
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace lumo
