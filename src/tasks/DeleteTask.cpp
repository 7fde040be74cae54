#include "lumo/tasks/DeleteTask.h"

#include <utility>

#include "AnsweredPost.h"
#include "lumo/api/API.h"
#include "lumo/api/DeleteUploadRequest.h"
#include "lumo/api/Endpoint.h"
#include "lumo/api/HTTPMethod.h"

namespace lumo {

std::shared_ptr<DeleteTaskDelegate> DeleteTask::delegate() const {
  std::lock_guard lock(mu_);
  return delegate_.lock();
}

void DeleteTask::setDelegate(std::weak_ptr<DeleteTaskDelegate> delegate) {
  std::lock_guard lock(mu_);
  delegate_ = std::move(delegate);
}

std::shared_ptr<DeleteTask> DeleteTask::sharedTask() {
  return std::static_pointer_cast<DeleteTask>(weak_from_this().lock());
}

bool DeleteTask::claimStart() {
  return !started_.exchange(true, std::memory_order_acq_rel);
}

void DeleteTask::finishTask() {
  setExecuting(false);
  setFinished(true);
}

void DeleteTask::start() {
  NetworkTask::start();
  if (auto delegate = this->delegate()) delegate->taskDeleteStarted(sharedTask());
}

void DeleteTask::deleteFile(const DeleteTaskComponents& components, Completion completion) {
  // Answered also for a name that cannot be encoded, so that the caller never waits for good.
  tasks_detail::postAnswered(API<DeleteUploadRequest, DeleteUploadResponse>(),
                             DeleteUploadRequest{components.remoteName}, Endpoint::delete_(),
                             HTTPMethod::post, std::move(completion));
}

}  // namespace lumo
