#include "lumo/tasks/DeleteMultipleFilesTask.h"

#include <memory>
#include <utility>

#include "lumo/sharing/ShareServiceError.h"
#include "lumo/support/DispatchQueue.h"

namespace lumo {

DeleteMultipleFilesTask::DeleteMultipleFilesTask(std::vector<DeleteTaskComponents> componentsArray)
    : componentsArray_(std::move(componentsArray)) {}

void DeleteMultipleFilesTask::start() {
  DeleteTask::start();
  if (!claimStart()) return;
  deleteFileAt(0);
}

// Each delete is sent from the answer of the one before, so no thread waits for the service.
void DeleteMultipleFilesTask::deleteFileAt(std::size_t index) {
  if (index == componentsArray_.size()) {
    finishTask();
    auto delegate = this->delegate();
    if (!delegate) return;
    if (uploadError_.value()) {
      delegate->taskDeleteError(sharedTask(), ShareServiceError::failedDeleteOperation);
    } else {
      delegate->taskDeleteComplete(sharedTask());
    }
    return;
  }
  // Held by its request until answered: the last answer must still finish and report.
  auto self = std::static_pointer_cast<DeleteMultipleFilesTask>(sharedTask());
  deleteFile(componentsArray_[index], [self, index](const Result<DeleteUploadResponse>& result) {
    if (result.ok()) {
      self->logService()->debug("Delete task result = success(DeleteUploadResponse())");
    } else {
      self->logService()->debug("Delete task result = failure(" +
                                result.error().localizedDescription() + ")");
      self->uploadError_.setValue(Error(ShareServiceError::failedDeleteOperation));
    }
    // Not on the thread of the answer, the API session's one delegate queue, which every other
    // answer waits for while the final delegate call runs.
    DispatchQueue::global().async([self, index] { self->deleteFileAt(index + 1); });
  });
}

}  // namespace lumo
