#include "lumo/tasks/DeleteTask.h"

#include <utility>

#include "lumo/api/API.h"
#include "lumo/api/DeleteUploadRequest.h"
#include "lumo/api/Endpoint.h"
#include "lumo/api/HTTPMethod.h"
#include "lumo/api/JSONEncoder.h"
#include "lumo/support/DispatchQueue.h"

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
  DeleteUploadRequest request{components.remoteName};
  // The client drops a body it cannot encode without calling back; the caller would wait for
  // good, so the encoding error is handed over instead.
  Result<std::vector<std::uint8_t>> encoded = JSONEncoder().encode(request);
  API<DeleteUploadRequest, DeleteUploadResponse>().post(request, Endpoint::delete_(),
                                                        HTTPMethod::post, completion);
  if (!encoded) {
    DispatchQueue::global().async(
        [completion = std::move(completion), error = encoded.error()] { completion(error); });
  }
}

}  // namespace lumo
