#include "lumo/support/DispatchQueue.h"

#include <pthread.h>

#include <algorithm>
#include <deque>
#include <queue>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "lumo/support/Fatal.h"

namespace lumo {
namespace {

using Clock = std::chrono::steady_clock;
using Work = DispatchQueue::Work;

// The queues the calling thread is running items of, innermost last (a serial queue's `sync`
// nests inside another queue's item).
thread_local std::vector<const DispatchQueue::State*> tCurrentQueues;
// Depth of main-queue execution on this thread.
thread_local int tMainDepth = 0;

class CurrentQueueScope {
 public:
  explicit CurrentQueueScope(const DispatchQueue::State* s) { tCurrentQueues.push_back(s); }
  ~CurrentQueueScope() { tCurrentQueues.pop_back(); }
  CurrentQueueScope(const CurrentQueueScope&) = delete;
  CurrentQueueScope& operator=(const CurrentQueueScope&) = delete;
};

class MainThreadScope {
 public:
  MainThreadScope() { ++tMainDepth; }
  ~MainThreadScope() { --tMainDepth; }
  MainThreadScope(const MainThreadScope&) = delete;
  MainThreadScope& operator=(const MainThreadScope&) = delete;
};

// Runs delayed submissions when they are due.
class DelayedScheduler {
 public:
  static DelayedScheduler& instance() {
    static auto* scheduler = new DelayedScheduler();  // never destroyed
    return *scheduler;
  }

  void schedule(Clock::time_point due, Work work) {
    std::lock_guard lock(mu_);
    items_.push(Item{due, seq_++, std::move(work)});
    if (!started_) {
      started_ = true;
      std::thread([this] { loop(); }).detach();
    }
    cv_.notify_one();
  }

 private:
  struct Item {
    Clock::time_point due;
    std::uint64_t seq;
    Work work;
    bool operator>(const Item& o) const { return due != o.due ? due > o.due : seq > o.seq; }
  };

  void loop() {
    std::unique_lock lock(mu_);
    for (;;) {
      if (items_.empty()) {
        cv_.wait(lock);
        continue;
      }
      const auto due = items_.top().due;
      if (Clock::now() < due) {
        cv_.wait_until(lock, due);
        continue;
      }
      Work work = std::move(const_cast<Item&>(items_.top()).work);
      items_.pop();
      lock.unlock();
      work();
      lock.lock();
    }
  }

  std::mutex mu_;
  std::condition_variable cv_;
  std::priority_queue<Item, std::vector<Item>, std::greater<>> items_;  // guarded by mu_
  std::uint64_t seq_ = 0;                                               // guarded by mu_
  bool started_ = false;                                                // guarded by mu_
};

// The global pool. A few threads take the items (twice the cores, at least 4): a burst of short
// items, however long, adds none. Items may block, though (a host's operation waiting for the
// main queue, a serial queue's `sync`), and an item may wait for one queued behind it; so when
// work waits, no thread is idle and no item has been taken for `kStall`, the watchdog adds a
// thread, and again every `kStall` while that lasts, up to a generous cap. Blocked items thus
// delay the others by a moment each and never hold them for good. Threads beyond the core
// leave after a while without work.
class ThreadPool {
 public:
  static ThreadPool& instance() {
    static auto* pool = new ThreadPool();  // never destroyed: items may run during exit
    return *pool;
  }

  void submit(Work work) {
    std::unique_lock lock(mu_);
    work_.push_back(std::move(work));
    // Idle threads (and new ones that have not started yet) will take what waits.
    if (work_.size() <= static_cast<std::size_t>(idle_)) {
      cv_.notify_one();
      return;
    }
    if (threads_ < core_) {
      spawn();
      return;
    }
    watch();
  }

 private:
  static constexpr int kMaxThreads = 512;
  static constexpr std::chrono::milliseconds kStall{50};
  static constexpr std::chrono::seconds kIdleExit{10};

  ThreadPool()
      : core_(std::clamp(2 * static_cast<int>(std::thread::hardware_concurrency()), 4, 16)) {}

  // Needs mu_.
  void spawn() {
    try {
      std::thread([this] { worker(); }).detach();
    } catch (const std::system_error&) {
      watch();  // the system refused: the watchdog tries again
      return;
    }
    ++threads_;
    ++idle_;  // counts as idle until it takes its first item
  }

  // Arms the watchdog unless it is armed. Needs mu_.
  void watch() {
    if (watching_) return;
    watching_ = true;
    DelayedScheduler::instance().schedule(Clock::now() + kStall,
                                          [this, seen = taken_] { check(seen); });
  }

  // `seen` is the count of items taken when the watchdog was armed.
  void check(std::uint64_t seen) {
    std::lock_guard lock(mu_);
    watching_ = false;
    if (work_.size() <= static_cast<std::size_t>(idle_)) return;
    if (taken_ == seen && threads_ < kMaxThreads) {
      spawn();
      if (watching_) return;
    }
    watch();
  }

  void worker() {
    // Threads inherit their creator's name; give pool threads their own for debuggers.
    pthread_setname_np(pthread_self(), "lumo-pool");
    std::unique_lock lock(mu_);
    --idle_;
    for (;;) {
      while (work_.empty()) {
        ++idle_;
        const bool woke = cv_.wait_for(lock, kIdleExit, [this] { return !work_.empty(); });
        --idle_;
        if (!woke && threads_ > core_) {
          --threads_;
          return;
        }
      }
      Work item = std::move(work_.front());
      work_.pop_front();
      ++taken_;
      lock.unlock();
      item();
      item = nullptr;  // release captures before taking the lock again
      lock.lock();
    }
  }

  const int core_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Work> work_;    // guarded by mu_
  int idle_ = 0;             // guarded by mu_: threads waiting for work or about to start
  int threads_ = 0;          // guarded by mu_
  std::uint64_t taken_ = 0;  // guarded by mu_: items taken so far
  bool watching_ = false;    // guarded by mu_: a check is scheduled
};

}  // namespace

// One queue's shared state. A serial queue has at most one "drainer" at a time: either a pool
// thread running its items, or a thread inside `sync`.
struct DispatchQueue::State : std::enable_shared_from_this<DispatchQueue::State> {
  enum class Kind { serial, concurrent, main };

  // A `sync` caller waiting for its turn in a serial queue.
  struct Handoff {
    std::mutex mu;
    std::condition_variable cv;
    bool ready = false;  // guarded by mu
  };
  struct Item {
    Work work;
    std::shared_ptr<Handoff> handoff;  // set for a waiting `sync`
  };

  State(Kind k, std::string l) : kind(k), label(std::move(l)) {}

  const Kind kind;
  const std::string label;

  std::mutex mu;
  std::condition_variable cv;        // main queue: items arrived
  std::deque<Item> items;            // guarded by mu
  bool draining = false;             // guarded by mu (serial queues)
  bool stopRequested = false;        // guarded by mu (main queue)
  std::function<void(Work)> poster;  // guarded by mu (main queue)

  // ---- serial queues ----

  void submitSerial(Work work) {
    std::unique_lock lock(mu);
    items.push_back(Item{std::move(work), nullptr});
    if (!draining) {
      draining = true;
      lock.unlock();
      scheduleDrain();
    }
  }

  void scheduleDrain() {
    ThreadPool::instance().submit([self = shared_from_this()] { self->drain(); });
  }

  // Runs items until the queue is empty or a `sync` caller takes over.
  void drain() {
    CurrentQueueScope scope(this);
    std::unique_lock lock(mu);
    for (;;) {
      if (items.empty()) {
        draining = false;
        return;
      }
      Item item = std::move(items.front());
      items.pop_front();
      if (item.handoff) {
        // The waiting `sync` becomes the drainer.
        lock.unlock();
        std::lock_guard hl(item.handoff->mu);
        item.handoff->ready = true;
        item.handoff->cv.notify_one();
        return;
      }
      lock.unlock();
      item.work();
      item.work = nullptr;
      lock.lock();
    }
  }

  void syncSerial(const Work& work) {
    if (std::find(tCurrentQueues.begin(), tCurrentQueues.end(), this) != tCurrentQueues.end()) {
      stopProcess("DispatchQueue(" + label + ").sync called from its own queue: deadlock");
    }
    std::unique_lock lock(mu);
    if (draining || !items.empty()) {
      auto handoff = std::make_shared<Handoff>();
      items.push_back(Item{nullptr, handoff});
      if (!draining) {
        draining = true;
        lock.unlock();
        scheduleDrain();
      } else {
        lock.unlock();
      }
      std::unique_lock hl(handoff->mu);
      handoff->cv.wait(hl, [&] { return handoff->ready; });
    } else {
      draining = true;
      lock.unlock();
    }
    {
      CurrentQueueScope scope(this);
      work();
    }
    // Hand the queue back: the pool continues with what arrived meanwhile.
    lock.lock();
    if (items.empty()) {
      draining = false;
    } else {
      lock.unlock();
      scheduleDrain();
    }
  }

  // ---- main queue ----

  void submitMain(Work work) {
    std::unique_lock lock(mu);
    if (poster) {
      auto post = poster;
      lock.unlock();
      post(wrapForMain(std::move(work)));
      return;
    }
    items.push_back(Item{std::move(work), nullptr});
    cv.notify_all();
  }

  static Work wrapForMain(Work work) {
    return [w = std::move(work)] {
      MainThreadScope scope;
      w();
    };
  }

  // Pops one main item, waiting until `deadline`; returns false when there is none.
  // Only `run()` wakes up for a stop request: a stale request must not turn the waits of
  // `runUntil()` into a busy loop.
  bool runOneMain(Clock::time_point deadline, bool wait, bool wakeOnStop = false) {
    std::unique_lock lock(mu);
    if (wait) {
      cv.wait_until(lock, deadline,
                    [&] { return !items.empty() || (wakeOnStop && stopRequested); });
    }
    if (items.empty()) return false;
    Item item = std::move(items.front());
    items.pop_front();
    lock.unlock();
    MainThreadScope scope;
    item.work();
    return true;
  }
};

namespace {

DispatchQueue::State& mainState();

std::shared_ptr<DispatchQueue::State>& mainStatePtr() {
  static auto* state =
      new std::shared_ptr<DispatchQueue::State>(std::make_shared<DispatchQueue::State>(
          DispatchQueue::State::Kind::main, "com.apple.main-thread"));
  return *state;
}

DispatchQueue::State& mainState() {
  return *mainStatePtr();
}

}  // namespace

DispatchQueue::DispatchQueue(std::string label)
    : state_(std::make_shared<State>(State::Kind::serial, std::move(label))) {}

DispatchQueue::DispatchQueue(std::shared_ptr<State> state) : state_(std::move(state)) {}

DispatchQueue& DispatchQueue::main() {
  static auto* queue = new DispatchQueue(mainStatePtr());  // never destroyed
  return *queue;
}

DispatchQueue& DispatchQueue::global() {
  static auto* queue = new DispatchQueue(
      std::make_shared<State>(State::Kind::concurrent, "com.apple.root.default-qos"));
  return *queue;
}

const std::string& DispatchQueue::label() const {
  return state_->label;
}

void DispatchQueue::async(Work work) const {
  switch (state_->kind) {
    case State::Kind::serial:
      state_->submitSerial(std::move(work));
      break;
    case State::Kind::concurrent:
      ThreadPool::instance().submit([s = state_.get(), w = std::move(work)] {
        CurrentQueueScope scope(s);
        w();
      });
      break;
    case State::Kind::main:
      state_->submitMain(std::move(work));
      break;
  }
}

void DispatchQueue::async(DispatchGroup& group, Work work) const {
  group.enter();
  // The group is captured by value (copies share its state): the caller's object may be gone
  // by the time the item runs.
  async([group, w = std::move(work)]() mutable {
    w();
    group.leave();
  });
}

void DispatchQueue::sync(const Work& work) const {
  switch (state_->kind) {
    case State::Kind::serial:
      state_->syncSerial(work);
      break;
    case State::Kind::concurrent: {
      CurrentQueueScope scope(state_.get());
      work();
      break;
    }
    case State::Kind::main: {
      if (isMainThread()) {
        work();
        break;
      }
      auto done = std::make_shared<std::pair<std::mutex, std::condition_variable>>();
      auto finished = std::make_shared<bool>(false);
      state_->submitMain([&work, done, finished] {
        work();
        std::lock_guard lock(done->first);
        *finished = true;
        done->second.notify_all();
      });
      std::unique_lock lock(done->first);
      done->second.wait(lock, [&] { return *finished; });
      break;
    }
  }
}

void DispatchQueue::asyncAfter(std::chrono::nanoseconds delay, Work work) const {
  DelayedScheduler::instance().schedule(
      Clock::now() + std::chrono::duration_cast<Clock::duration>(delay),
      [q = *this, w = std::move(work)]() mutable { q.async(std::move(w)); });
}

bool DispatchQueue::isCurrent() const {
  if (state_->kind == State::Kind::main) return isMainThread();
  return std::find(tCurrentQueues.begin(), tCurrentQueues.end(), state_.get()) !=
         tCurrentQueues.end();
}

bool DispatchQueue::isMainThread() {
  return tMainDepth > 0;
}

// ---- MainQueue ----

void MainQueue::setPoster(std::function<void(DispatchQueue::Work)> poster) {
  auto& s = mainState();
  std::deque<DispatchQueue::State::Item> waiting;
  std::function<void(DispatchQueue::Work)> post;
  {
    std::lock_guard lock(s.mu);
    s.poster = std::move(poster);
    post = s.poster;  // a copy: the poster may be replaced while the waiting items are handed over
    if (post) waiting.swap(s.items);
  }
  for (auto& item : waiting) post(DispatchQueue::State::wrapForMain(std::move(item.work)));
}

void MainQueue::run() {
  auto& s = mainState();
  MainThreadScope scope;
  for (;;) {
    {
      std::lock_guard lock(s.mu);
      if (s.stopRequested) {
        s.stopRequested = false;
        return;
      }
    }
    s.runOneMain(Clock::now() + std::chrono::hours(24), true, /*wakeOnStop=*/true);
  }
}

void MainQueue::stop() {
  auto& s = mainState();
  std::lock_guard lock(s.mu);
  s.stopRequested = true;
  s.cv.notify_all();
}

bool MainQueue::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  auto& s = mainState();
  MainThreadScope scope;
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (done()) return true;
    if (Clock::now() >= deadline) return done();
    // Wake up now and then: `done()` may depend on work that never touches the main queue.
    s.runOneMain(std::min(deadline, Clock::now() + std::chrono::milliseconds(5)), true);
  }
}

std::size_t MainQueue::drain() {
  auto& s = mainState();
  MainThreadScope scope;
  std::size_t ready;
  {
    std::lock_guard lock(s.mu);
    ready = s.items.size();
  }
  std::size_t ran = 0;
  while (ran < ready && s.runOneMain(Clock::now(), false)) ++ran;
  return ran;
}

void MainQueue::runFor(std::chrono::milliseconds duration) {
  runUntil([] { return false; }, duration);
}

// ---- DispatchGroup ----

struct DispatchGroup::State {
  std::mutex mu;
  std::condition_variable cv;
  long count = 0;                                                     // guarded by mu
  std::vector<std::pair<DispatchQueue, DispatchQueue::Work>> notify;  // guarded by mu
};

DispatchGroup::DispatchGroup() : state_(std::make_shared<State>()) {}

void DispatchGroup::enter() {
  std::lock_guard lock(state_->mu);
  ++state_->count;
}

void DispatchGroup::leave() {
  std::vector<std::pair<DispatchQueue, DispatchQueue::Work>> ready;
  {
    std::lock_guard lock(state_->mu);
    if (state_->count <= 0) stopProcess("DispatchGroup::leave() without a matching enter()");
    if (--state_->count == 0) {
      ready.swap(state_->notify);
      state_->cv.notify_all();
    }
  }
  for (auto& [queue, work] : ready) queue.async(std::move(work));
}

void DispatchGroup::wait() {
  std::unique_lock lock(state_->mu);
  state_->cv.wait(lock, [&] { return state_->count == 0; });
}

bool DispatchGroup::waitFor(std::chrono::nanoseconds timeout) {
  std::unique_lock lock(state_->mu);
  return state_->cv.wait_for(lock, timeout, [&] { return state_->count == 0; });
}

void DispatchGroup::notify(const DispatchQueue& queue, DispatchQueue::Work work) {
  {
    std::lock_guard lock(state_->mu);
    if (state_->count > 0) {
      state_->notify.emplace_back(queue, std::move(work));
      return;
    }
  }
  queue.async(std::move(work));
}

}  // namespace lumo
