#pragma once

#include <cstdint>
#include <memory>

#include "lumo/Export.h"
#include "lumo/platform/Operation.h"
#include "lumo/platform/OperationQueue.h"
#include "lumo/sharing/UploadQueueDelegate.h"
#include "lumo/support/SpinLock.h"

namespace lumo {

class UploadTask;
class DeleteTask;

// Runs the library's transfers (uploads and remote deletes) on one operation queue and tells
// its delegate the number of transfers in the queue after every change. The share service owns
// one; a host may make its own and watch it:
//
//   auto queue = std::make_shared<UploadQueue>();
//   queue->setDelegate(badge);                 // uploadQueue(queue, 1), later (queue, 0)
//   queue->addUploadTask(task);
//
// Transfers run at once, each on a thread of the queue's own, with no limit and no order
// imposed between uploads and deletes. The delegate is called on the thread that made the
// change (see `UploadQueueDelegate`); without a delegate the changes are dropped.
//
// Destroying the queue neither cancels nor waits for its transfers, and the delegate hears
// nothing afterwards.
class LUMO_API UploadQueue {
 public:
  UploadQueue();
  ~UploadQueue();
  UploadQueue(const UploadQueue&) = delete;
  UploadQueue& operator=(const UploadQueue&) = delete;

  // The count observer, held weakly; empty when none is set or it is gone.
  std::shared_ptr<UploadQueueDelegate> delegate() const;
  void setDelegate(std::weak_ptr<UploadQueueDelegate> delegate);

  // Queues `task`; it starts at once. A task that already belongs to a queue, or has started,
  // is not queued again.
  void addUploadTask(std::shared_ptr<UploadTask> task);
  void addDeleteTask(std::shared_ptr<DeleteTask> task);

 private:
  // The operation queue's change notification: passes a new "operationCount" on.
  void observeValue(const KeyValueChange& change);

  mutable SpinLock delegateLock_;
  std::weak_ptr<UploadQueueDelegate> delegate_;  // guarded by delegateLock_
  OperationQueue::ObserverToken countObservation_ = 0;
  // Last, so that it goes first: its destruction ends the count deliveries while the fields
  // they read are still there.
  OperationQueue operationQueue_;
};

}  // namespace lumo
