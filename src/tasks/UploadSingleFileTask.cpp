#include "lumo/tasks/UploadSingleFileTask.h"

#include <memory>
#include <utility>

#include "lumo/sharing/ShareServiceError.h"

namespace lumo {

UploadSingleFileTask::UploadSingleFileTask(UploadTaskComponents components)
    : components_(std::move(components)) {}

void UploadSingleFileTask::start() {
  UploadTask::start();
  if (!claimStart()) return;
  std::weak_ptr<UploadSingleFileTask> weakSelf =
      std::static_pointer_cast<UploadSingleFileTask>(sharedTask());
  uploadFile(
      components_, /*needShowProgress=*/true,
      [weakSelf](double progress) {
        if (auto self = weakSelf.lock()) self->handleProgress(progress);
      },
      [weakSelf](const UploadTaskResult& result, std::int64_t duration) {
        if (auto self = weakSelf.lock()) self->handleUploadFileCompletion(result, duration);
      });
}

void UploadSingleFileTask::handleProgress(double progress) {
  if (isFinished()) return;
  if (auto delegate = this->delegate()) delegate->taskProgressUpdated(sharedTask(), progress);
}

void UploadSingleFileTask::handleUploadFileCompletion(const UploadTaskResult& result,
                                                      std::int64_t durationSeconds) {
  // A cancel before any request has ended the task already.
  if (!claimFinalReport()) return;
  finishTask();
  auto delegate = this->delegate();
  if (result.isCancelled) {
    if (delegate) delegate->taskCancelled(sharedTask());
  } else if (result.error) {
    if (delegate) {
      delegate->taskUploadError(sharedTask(), components_.fileSize, *result.error, durationSeconds);
    }
  } else if (result.task && result.task->state() == HttpTask::State::completed) {
    logService()->debug("Uploaded to:" + components_.uploadURL.absoluteString());
    if (delegate) delegate->taskUploadComplete(sharedTask(), components_.fileSize, durationSeconds);
  } else if (delegate) {
    delegate->taskUploadError(sharedTask(), components_.fileSize, ShareServiceError::failedUpload,
                              durationSeconds);
  }
}

}  // namespace lumo
