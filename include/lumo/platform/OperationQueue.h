#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "lumo/Export.h"
#include "lumo/platform/Operation.h"

namespace lumo {

// Runs `Operation`s, in the manner of the desktop's operation queues.
//
//   OperationQueue queue;
//   auto token = queue.addObserver("operationCount", [](const KeyValueChange& c) {
//     if (!c.isPrior) updateBadge(*c.newValue);
//   });
//   queue.addOperation(std::make_shared<UploadTask>(...));
//
// What the queue promises:
// - It calls `start()` of each operation at most once, on the process's global pool
//   (`DispatchQueue::global()`), in the order the operations were added, when the operation is
//   ready and the concurrency limit allows.
// - It never starts an operation whose finished flag is already set: an operation that finishes
//   while it waits (a task cancelled before it ran) is removed without being started.
// - It learns that an operation ended only from its finished flag: it observes "isFinished" and
//   reads `isFinished()` on each did-change call. An operation that returns from `start()` but
//   never announces finished stays in the queue for good.
// - By default there is no limit: every ready operation starts at once. Starts share the
//   pool's few threads, so the threads stay bounded however many operations are queued. An
//   operation should not block in `start()` (the library's own never do: they go on from their
//   transfers' completions); one that does holds a pool thread, and the pool adds a thread
//   when all of its threads are held for a moment, so it delays the others, never stops them.
//
// Destroying the queue neither cancels nor waits for its operations: those running go on,
// those waiting are never started, and the count observers are not called again.
class LUMO_API OperationQueue {
 public:
  // `maxConcurrentOperationCount()` of a new queue: no limit.
  static constexpr std::int64_t kDefaultMaxConcurrentOperationCount = -1;

  // Called for each will-change and did-change of "operationCount".
  using Observer = std::function<void(const KeyValueChange&)>;
  using ObserverToken = std::uint64_t;

  OperationQueue();
  ~OperationQueue();
  OperationQueue(const OperationQueue&) = delete;
  OperationQueue& operator=(const OperationQueue&) = delete;

  // Adds `operation` and starts it when its turn comes. Returns false, and changes nothing, for
  // an empty pointer, an operation that already belongs to a queue, and one that is executing
  // or finished.
  bool addOperation(std::shared_ptr<Operation> operation);

  // The operations not yet seen to finish, in the order they were added.
  std::vector<std::shared_ptr<Operation>> operations() const;
  std::int64_t operationCount() const;

  // Calls `cancel()` of every operation in the queue. Each operation decides what that means
  // (see `Operation::cancel()`); the queue removes an operation only when it finishes.
  void cancelAllOperations();

  // How many operations may execute at once: a positive limit, 0 to start none, or any
  // negative value for no limit (`kDefaultMaxConcurrentOperationCount`). An operation counts
  // from its start until it is seen to finish.
  std::int64_t maxConcurrentOperationCount() const;
  void setMaxConcurrentOperationCount(std::int64_t count);

  // A suspended queue starts no operations; those already started go on.
  bool isSuspended() const;
  void setSuspended(bool suspended);

  // For diagnostics only; empty by default.
  std::string name() const;
  void setName(std::string name);

  // Blocks until the queue holds no operations and every count change has been delivered to
  // the observers. Calling it from an operation of this queue deadlocks.
  void waitUntilAllOperationsAreFinished();

  // Observes changes of the number of operations: `keyPath` must be "operationCount" (for any
  // other key the observer is never called). On the did-change call `newValue` holds the new
  // count; every change is reported, one at a time and in the order the changes happened.
  //
  // Threads: a change is reported on the thread that made it (the caller of `addOperation`, or
  // the thread on which an operation announced that it finished), unless another thread is
  // already reporting earlier changes; that thread then reports this one too, and the call that
  // made the change may return before its report. Observers may call into the queue.
  ObserverToken addObserver(const std::string& keyPath, Observer observer);
  // Stops deliveries; a delivery already running on another thread finishes first unless the
  // caller is that delivery.
  void removeObserver(ObserverToken token);

  struct State;  // shared with the operations' observers and the pool's work items

 private:
  std::shared_ptr<State> state_;
};

}  // namespace lumo
