#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "lumo/Export.h"

namespace lumo {

// One change announced to an observer of an `Operation` or an `OperationQueue`.
//
// Every change comes as a pair of calls on the thread that makes it: first with `isPrior` true
// (the will-change call, before the value changes), then with `isPrior` false (the did-change
// call, after it changed). On the did-change call `newValue` holds the value read back after the
// change: 0 or 1 for "isExecuting", "isFinished", "isCancelled" and "isReady", the number of
// operations for an `OperationQueue`'s "operationCount"; it is absent for other keys and on
// will-change calls.
struct LUMO_API KeyValueChange {
  std::string keyPath;
  bool isPrior = false;
  std::optional<std::int64_t> newValue;
};

// A unit of work that an `OperationQueue` runs, in the manner of the desktop's operations.
// Operations are held by `std::shared_ptr`.
//
// Synchronous operations override `main()`: the default `start()` marks the operation
// executing, runs `main()` on the calling thread and marks it finished when `main()` returns.
//
// Asynchronous operations return true from `isAsynchronous()` and stay executing after
// `start()` returns. They say themselves when they are done by setting executing to false and
// then finished to true (`finish()` does both), from any thread:
//
//   class Download : public Operation {
//    public:
//     bool isAsynchronous() const override { return true; }
//     void start() override {
//       Operation::start();              // marks executing, calls main()
//     }
//     void main() override { beginTransfer([self = shared_from_this(), this] { finish(); }); }
//   };
//
// A subclass may own the two state flags itself, as the desktop allows: it overrides the
// getters `isExecuting()` / `isFinished()` and the setters `setExecuting()` / `setFinished()`,
// and announces each change with `willChangeValue(key)` before and `didChangeValue(key)` after
// the write, for the keys "isExecuting" and "isFinished". Observers (and the queue) see exactly
// the calls the subclass makes, so the subclass decides whether a write that does not change
// the value is announced.
//
// Observers stand in for key-value observing:
//
//   auto token = op->addObserver("isFinished", [](Operation& op, const KeyValueChange& c) {
//     if (!c.isPrior && op.isFinished()) ...;
//   });
//   op->removeObserver(token);
//
// Observers are called synchronously on the thread that announces the change, without any lock
// of the operation held, so they may read its flags and add or remove observers. The flags
// themselves are never read or written under an observer lock.
class LUMO_API Operation : public std::enable_shared_from_this<Operation> {
 public:
  using Observer = std::function<void(Operation&, const KeyValueChange&)>;
  using ObserverToken = std::uint64_t;

  Operation() = default;
  virtual ~Operation();
  Operation(const Operation&) = delete;
  Operation& operator=(const Operation&) = delete;

  // Begins the operation. The default: does nothing when the operation is executing or
  // finished; finishes it without running `main()` when it was cancelled; otherwise marks it
  // executing, runs `main()`, and for a synchronous operation marks it not executing and
  // finished afterwards. An `OperationQueue` calls this at most once, on a thread of the
  // global pool.
  virtual void start();
  // The work of the operation; the default does nothing.
  virtual void main();
  // Marks the operation cancelled (announced as "isCancelled" the first time). The work itself
  // decides what cancelling means: the default `start()` skips `main()` of a cancelled
  // operation; an asynchronous subclass usually overrides `cancel()` to stop its work and
  // finish. Safe from any thread.
  virtual void cancel();

  bool isCancelled() const { return cancelled_.load(std::memory_order_acquire); }
  virtual bool isExecuting() const;
  virtual bool isFinished() const;
  // False by default: the operation is done when `start()` returns.
  virtual bool isAsynchronous() const;
  // True by default. A subclass that is not ready yet returns false and announces "isReady"
  // when that changes; a queue starts only ready operations.
  virtual bool isReady() const;

  // Calls `observer` for every will-change and did-change of `keyPath` until the token is
  // removed.
  ObserverToken addObserver(std::string keyPath, Observer observer);
  // Stops deliveries; a delivery already running on another thread finishes.
  void removeObserver(ObserverToken token);

  // Announce a change of `key` to its observers; see the class comment.
  void willChangeValue(std::string_view key);
  void didChangeValue(std::string_view key);

  // Runs `block` once, on the thread that announces that the operation finished, after the
  // observers of "isFinished". Replaces an earlier block.
  void setCompletionBlock(std::function<void()> block);

  // Blocks until the operation has announced that it finished. Calling it from the operation's
  // own work deadlocks.
  void waitUntilFinished();

 protected:
  // The built-in storage of the two state flags. Each write is announced with a will-change and
  // a did-change call, also when the value does not change.
  virtual void setExecuting(bool executing);
  virtual void setFinished(bool finished);
  // Marks an asynchronous operation done: not executing, then finished.
  void finish();

 private:
  friend class OperationQueue;

  struct Registration {
    std::string keyPath;
    Observer observer;
  };
  void notify(std::string_view key, bool isPrior);
  std::optional<std::int64_t> currentValue(std::string_view key) const;

  std::atomic<bool> executing_{false};
  std::atomic<bool> finished_{false};
  std::atomic<bool> cancelled_{false};
  // Set while the operation belongs to a queue, so that no queue takes it twice.
  std::atomic<bool> enqueued_{false};

  mutable std::mutex mu_;
  std::condition_variable finishedCv_;
  ObserverToken nextToken_ = 1;                                       // guarded by mu_
  std::map<ObserverToken, std::shared_ptr<Registration>> observers_;  // guarded by mu_
  std::function<void()> completionBlock_;                             // guarded by mu_
  bool finishAnnounced_ = false;                                      // guarded by mu_
  bool cancelRequested_ = false;                                      // guarded by mu_
};

}  // namespace lumo
