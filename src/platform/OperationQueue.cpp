#include "lumo/platform/OperationQueue.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "lumo/support/DispatchQueue.h"

namespace lumo {

namespace {
constexpr const char* kOperationCount = "operationCount";
}  // namespace

struct OperationQueue::State : std::enable_shared_from_this<OperationQueue::State> {
  struct Entry {
    std::shared_ptr<Operation> operation;
    Operation::ObserverToken finishedToken = 0;
    Operation::ObserverToken readyToken = 0;
    bool started = false;
  };

  ~State() {
    // Operations that outlive the queue must not keep calling into it.
    for (auto& entry : entries) detach(entry);
  }

  mutable std::mutex mu;
  std::condition_variable changed;  // entries, pending or delivery state changed

  std::string name;                                                  // guarded by mu
  std::int64_t maxConcurrent = kDefaultMaxConcurrentOperationCount;  // guarded by mu
  bool suspended = false;                                            // guarded by mu
  std::vector<Entry> entries;                                        // guarded by mu
  std::int64_t running = 0;  // started and not yet seen to finish; guarded by mu

  // Count observers and the changes waiting to be reported to them. One thread at a time
  // reports, so observers see the changes in order even when they happen on several threads.
  ObserverToken nextToken = 1;                                   // guarded by mu
  std::map<ObserverToken, std::shared_ptr<Observer>> observers;  // guarded by mu
  std::deque<std::int64_t> pendingCounts;                        // guarded by mu
  bool delivering = false;                                       // guarded by mu
  std::thread::id deliveringThread;                              // guarded by mu
  bool inCallback = false;                                       // guarded by mu

  static void detach(Entry& entry) {
    entry.operation->removeObserver(entry.finishedToken);
    entry.operation->removeObserver(entry.readyToken);
    entry.operation->enqueued_.store(false, std::memory_order_release);
  }

  std::vector<Entry>::iterator find(const Operation* op) {
    return std::find_if(entries.begin(), entries.end(),
                        [op](const Entry& e) { return e.operation.get() == op; });
  }

  bool add(std::shared_ptr<Operation> op) {
    if (!op || op->isExecuting() || op->isFinished()) return false;
    if (op->enqueued_.exchange(true, std::memory_order_acq_rel)) return false;

    std::weak_ptr<State> weak = weak_from_this();
    // Registered before the operation is listed, so that no finish can slip between the two.
    const auto finishedToken =
        op->addObserver("isFinished", [weak](Operation& o, const KeyValueChange& change) {
          if (change.isPrior || !o.isFinished()) return;
          if (auto self = weak.lock()) self->operationFinished(o);
        });
    const auto readyToken =
        op->addObserver("isReady", [weak](Operation&, const KeyValueChange& change) {
          if (change.isPrior) return;
          if (auto self = weak.lock()) self->schedule();
        });
    // Ours until the end: once listed, it may finish and leave the list at any time.
    const std::shared_ptr<Operation> operation = op;
    {
      std::lock_guard lock(mu);
      entries.push_back(Entry{std::move(op), finishedToken, readyToken, false});
      pendingCounts.push_back(static_cast<std::int64_t>(entries.size()));
    }
    deliver();
    // It may have finished between the check above and the observer taking effect.
    if (operation->isFinished()) operationFinished(*operation);
    schedule();
    return true;
  }

  void operationFinished(Operation& op) {
    Entry entry;
    {
      std::lock_guard lock(mu);
      auto it = find(&op);
      if (it == entries.end()) return;  // already removed: finished is announced more than once
      entry = std::move(*it);
      entries.erase(it);
      if (entry.started) --running;
      pendingCounts.push_back(static_cast<std::int64_t>(entries.size()));
      changed.notify_all();
    }
    detach(entry);
    // The announcing code may hold only a raw pointer to the operation and goes on running in
    // it after this returns; dropping the queue's reference here could destroy it under its
    // feet, so the last reference is released on the pool.
    DispatchQueue::global().async([released = std::move(entry.operation)] {});
    deliver();
    schedule();
  }

  // Starts whatever the limit allows, in the order of addition.
  void schedule() {
    std::vector<std::shared_ptr<Operation>> candidates;
    {
      std::lock_guard lock(mu);
      if (suspended || maxConcurrent == 0) return;
      if (maxConcurrent > 0 && running >= maxConcurrent) return;
      for (const auto& entry : entries) {
        if (!entry.started) candidates.push_back(entry.operation);
      }
    }
    if (candidates.empty()) return;
    // The operations' getters are their own code: ask them without holding the queue's lock.
    std::vector<bool> startable;
    startable.reserve(candidates.size());
    for (const auto& op : candidates) startable.push_back(op->isReady() && !op->isFinished());

    std::vector<std::shared_ptr<Operation>> toStart;
    {
      std::lock_guard lock(mu);
      if (suspended) return;
      for (std::size_t i = 0; i < candidates.size(); ++i) {
        if (maxConcurrent >= 0 && running >= maxConcurrent) break;
        if (!startable[i]) continue;
        auto it = find(candidates[i].get());
        if (it == entries.end() || it->started) continue;  // another thread took it
        it->started = true;
        ++running;
        toStart.push_back(candidates[i]);
      }
    }
    for (auto& op : toStart) {
      launch([self = shared_from_this(), op = std::move(op)] {
        // Cancelled while waiting for its thread: never start a finished operation.
        if (op->isFinished()) {
          self->operationFinished(*op);
          return;
        }
        op->start();
      });
    }
  }

  // Starts run on the global pool, which takes its items in order and keeps a few threads
  // however many starts are queued. The library's operations return from start() at once and
  // go on from their transfers' completions; an operation of the host that blocks in start()
  // holds a pool thread, and the pool adds one when all of them are held (see DispatchQueue),
  // so it delays the starts behind it by a moment, never for good.
  static void launch(DispatchQueue::Work work) { DispatchQueue::global().async(std::move(work)); }

  void deliver() {
    std::unique_lock lock(mu);
    if (delivering) return;  // the reporting thread picks up what was just queued
    delivering = true;
    deliveringThread = std::this_thread::get_id();
    while (!pendingCounts.empty()) {
      const std::int64_t count = pendingCounts.front();
      pendingCounts.pop_front();
      for (bool isPrior : {true, false}) {
        KeyValueChange change{kOperationCount, isPrior,
                              isPrior ? std::nullopt : std::optional<std::int64_t>(count)};
        // Walk by token so that an observer removed by an earlier one is not called.
        ObserverToken next = 0;
        for (;;) {
          auto it = observers.lower_bound(next);
          if (it == observers.end()) break;
          next = it->first + 1;
          auto observer = it->second;
          inCallback = true;
          lock.unlock();
          (*observer)(change);
          observer.reset();
          lock.lock();
          inCallback = false;
          changed.notify_all();
        }
      }
    }
    delivering = false;
    deliveringThread = std::thread::id();
    changed.notify_all();
  }

  // Waits for a callback running on another thread; the caller holds `lock`.
  void waitForCallback(std::unique_lock<std::mutex>& lock) {
    changed.wait(lock,
                 [&] { return !inCallback || deliveringThread == std::this_thread::get_id(); });
  }
};

OperationQueue::OperationQueue() : state_(std::make_shared<State>()) {}

OperationQueue::~OperationQueue() {
  // Observers often capture their owner, which is going away with this queue.
  std::unique_lock lock(state_->mu);
  state_->observers.clear();
  state_->waitForCallback(lock);
}

bool OperationQueue::addOperation(std::shared_ptr<Operation> operation) {
  return state_->add(std::move(operation));
}

std::vector<std::shared_ptr<Operation>> OperationQueue::operations() const {
  std::lock_guard lock(state_->mu);
  std::vector<std::shared_ptr<Operation>> result;
  result.reserve(state_->entries.size());
  for (const auto& entry : state_->entries) result.push_back(entry.operation);
  return result;
}

std::int64_t OperationQueue::operationCount() const {
  std::lock_guard lock(state_->mu);
  return static_cast<std::int64_t>(state_->entries.size());
}

void OperationQueue::cancelAllOperations() {
  for (const auto& op : operations()) op->cancel();
}

std::int64_t OperationQueue::maxConcurrentOperationCount() const {
  std::lock_guard lock(state_->mu);
  return state_->maxConcurrent;
}

void OperationQueue::setMaxConcurrentOperationCount(std::int64_t count) {
  {
    std::lock_guard lock(state_->mu);
    state_->maxConcurrent = count < 0 ? kDefaultMaxConcurrentOperationCount : count;
  }
  state_->schedule();
}

bool OperationQueue::isSuspended() const {
  std::lock_guard lock(state_->mu);
  return state_->suspended;
}

void OperationQueue::setSuspended(bool suspended) {
  {
    std::lock_guard lock(state_->mu);
    state_->suspended = suspended;
  }
  if (!suspended) state_->schedule();
}

std::string OperationQueue::name() const {
  std::lock_guard lock(state_->mu);
  return state_->name;
}

void OperationQueue::setName(std::string name) {
  std::lock_guard lock(state_->mu);
  state_->name = std::move(name);
}

void OperationQueue::waitUntilAllOperationsAreFinished() {
  std::unique_lock lock(state_->mu);
  const auto me = std::this_thread::get_id();
  state_->changed.wait(lock, [&] {
    const bool reported =
        state_->pendingCounts.empty() && (!state_->delivering || state_->deliveringThread == me);
    return state_->entries.empty() && reported;
  });
}

OperationQueue::ObserverToken OperationQueue::addObserver(const std::string& keyPath,
                                                          Observer observer) {
  std::lock_guard lock(state_->mu);
  const ObserverToken token = state_->nextToken++;
  if (keyPath == kOperationCount) {
    state_->observers.emplace(token, std::make_shared<Observer>(std::move(observer)));
  }
  return token;
}

void OperationQueue::removeObserver(ObserverToken token) {
  std::shared_ptr<Observer> removed;  // destroyed after the lock is released
  std::unique_lock lock(state_->mu);
  auto it = state_->observers.find(token);
  if (it == state_->observers.end()) return;
  removed = std::move(it->second);
  state_->observers.erase(it);
  state_->waitForCallback(lock);
  lock.unlock();
}

}  // namespace lumo
