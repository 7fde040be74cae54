#include "lumo/sharing/UploadQueue.h"

#include <mutex>
#include <utility>

#include "lumo/tasks/DeleteTask.h"
#include "lumo/tasks/UploadTask.h"

namespace lumo {

UploadQueue::UploadQueue() {
  countObservation_ = operationQueue_.addObserver(
      "operationCount", [this](const KeyValueChange& change) { observeValue(change); });
}

UploadQueue::~UploadQueue() {
  operationQueue_.removeObserver(countObservation_);
}

std::shared_ptr<UploadQueueDelegate> UploadQueue::delegate() const {
  std::lock_guard guard(delegateLock_);
  return delegate_.lock();
}

void UploadQueue::setDelegate(std::weak_ptr<UploadQueueDelegate> delegate) {
  std::lock_guard guard(delegateLock_);
  delegate_ = std::move(delegate);
}

void UploadQueue::addUploadTask(std::shared_ptr<UploadTask> task) {
  operationQueue_.addOperation(std::move(task));
}

void UploadQueue::addDeleteTask(std::shared_ptr<DeleteTask> task) {
  operationQueue_.addOperation(std::move(task));
}

void UploadQueue::observeValue(const KeyValueChange& change) {
  if (change.keyPath != "operationCount") return;
  // The will-change call carries no value; only the did-change call has the new count.
  if (change.isPrior || !change.newValue) return;
  if (auto delegate = this->delegate()) delegate->uploadQueue(*this, *change.newValue);
}

}  // namespace lumo
