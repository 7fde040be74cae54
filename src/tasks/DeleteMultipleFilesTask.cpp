#include "lumo/tasks/DeleteMultipleFilesTask.h"

#include <memory>
#include <utility>

#include "lumo/sharing/ShareServiceError.h"

namespace lumo {

DeleteMultipleFilesTask::DeleteMultipleFilesTask(std::vector<DeleteTaskComponents> componentsArray)
    : componentsArray_(std::move(componentsArray)) {}

void DeleteMultipleFilesTask::start() {
  DeleteTask::start();
  if (!claimStart()) return;
  std::weak_ptr<DeleteMultipleFilesTask> weakSelf =
      std::static_pointer_cast<DeleteMultipleFilesTask>(sharedTask());

  for (const DeleteTaskComponents& components : componentsArray_) {
    dispatchGroup_.enter();
    // The group is shared by its copies: the answer leaves it even when the task has gone.
    DispatchGroup group = dispatchGroup_;
    deleteFile(components, [weakSelf, group](const Result<DeleteUploadResponse>& result) mutable {
      if (auto self = weakSelf.lock()) {
        if (result.ok()) {
          self->logService()->debug("Delete task result = success(DeleteUploadResponse())");
        } else {
          self->logService()->debug("Delete task result = failure(" +
                                    result.error().localizedDescription() + ")");
          self->uploadError_.setValue(Error(ShareServiceError::failedDeleteOperation));
        }
      }
      group.leave();
    });
    dispatchGroup_.wait();
  }

  finishTask();
  auto delegate = this->delegate();
  if (!delegate) return;
  if (uploadError_.value()) {
    delegate->taskDeleteError(sharedTask(), ShareServiceError::failedDeleteOperation);
  } else {
    delegate->taskDeleteComplete(sharedTask());
  }
}

}  // namespace lumo
