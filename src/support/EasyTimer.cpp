#include "lumo/support/EasyTimer.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "lumo/support/DispatchQueue.h"

namespace lumo {
namespace {

using Clock = std::chrono::steady_clock;

// The shortest interval a timer accepts, as the platform's timers do.
constexpr std::chrono::nanoseconds kMinimumInterval = std::chrono::microseconds(100);

}  // namespace

// One scheduled timer; invalidating it stops its ticks.
struct EasyTimer::Ticker {
  std::atomic<bool> valid{true};
};

// Shared with the scheduled ticks, which keep it alive as the platform's timers keep their
// target.
struct EasyTimer::State {
  explicit State(Handler h) : handler(std::move(h)) {}

  const Handler handler;
  std::atomic<std::int64_t> spentTime{0};
  std::atomic<std::int64_t> lastSpentTime{0};

  std::mutex mu;
  std::shared_ptr<Ticker> timer;  // guarded by mu
  bool destroyed = false;         // guarded by mu: the EasyTimer is gone

  static void schedule(const std::shared_ptr<State>& state, const std::shared_ptr<Ticker>& ticker,
                       std::chrono::nanoseconds interval, Clock::time_point due, bool repeats) {
    const auto delay = std::max(std::chrono::nanoseconds(0), due - Clock::now());
    DispatchQueue::main().asyncAfter(delay, [state, ticker, interval, due, repeats] {
      if (!ticker->valid) return;
      state->spentTime.fetch_add(1);
      state->handler();
      // `valid` is atomic: the handler or another thread may have stopped the timer meanwhile.
      // cppcheck-suppress identicalConditionAfterEarlyExit
      if (!repeats || !ticker->valid) return;
      // Next firing on the original schedule; firings missed while busy are skipped.
      auto next = due + interval;
      const auto now = Clock::now();
      while (next <= now) next += interval;
      schedule(state, ticker, interval, next, repeats);
    });
  }
};

EasyTimer::EasyTimer(Handler handler) : state_(std::make_shared<State>(std::move(handler))) {}

EasyTimer::~EasyTimer() {
  std::shared_ptr<Ticker> running;
  {
    std::lock_guard lock(state_->mu);
    state_->destroyed = true;
    running = std::move(state_->timer);
  }
  if (running) running->valid = false;
}

void EasyTimer::start(double interval, bool repeats, bool immediately) {
  if (immediately) state_->handler();
  const auto period =
      std::max(kMinimumInterval, std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::duration<double>(interval > 0 ? interval : 0)));
  DispatchQueue::main().async([state = state_, period, repeats] {
    auto ticker = std::make_shared<Ticker>();
    std::shared_ptr<Ticker> previous;
    {
      std::lock_guard lock(state->mu);
      if (state->destroyed) return;
      previous = std::exchange(state->timer, ticker);
    }
    // One timer per EasyTimer: the one it replaces stops.
    if (previous) previous->valid = false;
    State::schedule(state, ticker, period, Clock::now() + period, repeats);
  });
}

void EasyTimer::resume() {
  state_->spentTime = state_->lastSpentTime.load();
  start(1.0, true, true);
}

void EasyTimer::stop() {
  std::shared_ptr<Ticker> running;
  {
    std::lock_guard lock(state_->mu);
    running = std::move(state_->timer);
  }
  if (!running) return;
  running->valid = false;
  state_->lastSpentTime = state_->spentTime.load();
  state_->spentTime = 0;
}

std::int64_t EasyTimer::spentTime() const {
  return state_->spentTime;
}

}  // namespace lumo
