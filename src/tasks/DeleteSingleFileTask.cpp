#include "lumo/tasks/DeleteSingleFileTask.h"

#include <memory>
#include <utility>

namespace lumo {

DeleteSingleFileTask::DeleteSingleFileTask(DeleteTaskComponents components)
    : components_(std::move(components)) {}

void DeleteSingleFileTask::start() {
  DeleteTask::start();
  if (!claimStart()) return;
  std::weak_ptr<DeleteSingleFileTask> weakSelf =
      std::static_pointer_cast<DeleteSingleFileTask>(sharedTask());
  deleteFile(components_, [weakSelf](const Result<DeleteUploadResponse>& result) {
    if (auto self = weakSelf.lock()) self->handleDeleteResult(result);
  });
}

void DeleteSingleFileTask::handleDeleteResult(const Result<DeleteUploadResponse>& result) {
  finishTask();
  auto delegate = this->delegate();
  if (!result.ok()) {
    if (delegate) delegate->taskDeleteError(sharedTask(), result.error());
    return;
  }
  logService()->debug("Delete task result = DeleteUploadResponse()");
  if (delegate) delegate->taskDeleteComplete(sharedTask());
}

}  // namespace lumo
