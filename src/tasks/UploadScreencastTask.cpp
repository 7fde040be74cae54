#include "lumo/tasks/UploadScreencastTask.h"

#include <chrono>
#include <utility>

#include "lumo/capture/ShareResourceType.h"
#include "lumo/sharing/ShareServiceError.h"
#include "lumo/support/DispatchQueue.h"
#include "lumo/support/DoubleDescription.h"

namespace lumo {

Result<std::shared_ptr<UploadScreencastTask>> UploadScreencastTask::make(
    const Screencast& screencast, Url screencastPublicURL, Url htmlLocalURL, Url htmlPublicURL,
    LocalFilesService& fileService) {
  std::optional<std::int64_t> screencastFileSize = screencast.fileSize();
  if (!screencastFileSize) return UploadScreencastTaskError::screencastFileSizeUnknown;
  std::optional<std::int64_t> thumbnailFileSize = screencast.thumbnailFileSize();
  if (!thumbnailFileSize) return UploadScreencastTaskError::screencastThumbnailFileSizeUnknown;
  std::optional<std::int64_t> htmlFileSize = fileService.getFileSize(htmlLocalURL);
  if (!htmlFileSize) return UploadScreencastTaskError::screencastHtmlFileSizeUnknown;

  auto task = std::make_shared<UploadScreencastTask>(
      PrivateTag{}, screencast, std::move(screencastPublicURL), std::move(htmlLocalURL),
      std::move(htmlPublicURL));
  task->screencastFileSize_ = *screencastFileSize;
  task->thumbnailFileSize_ = *thumbnailFileSize;
  task->htmlFileSize_ = *htmlFileSize;
  return task;
}

UploadScreencastTask::UploadScreencastTask(PrivateTag, const Screencast& screencast,
                                           Url screencastPublicURL, Url htmlLocalURL,
                                           Url htmlPublicURL)
    : screencast_(screencast),
      screencastPublicURL_(std::move(screencastPublicURL)),
      htmlLocalURL_(std::move(htmlLocalURL)),
      htmlPublicURL_(std::move(htmlPublicURL)) {}

Result<std::vector<UploadTaskComponents>> UploadScreencastTask::makeUploadComponents() {
  std::lock_guard lock(progressMu_);
  commonFileSizeSet_.clear();

  std::optional<Url> videoURL = _shareURLHelperService->generateShareURL(screencast_);
  const std::optional<Url>& thumbnailLocalURL = screencast_.thumbnailFileURL();
  std::optional<Url> thumbnailURL = _shareURLHelperService->generateThumbnailShareURL(screencast_);
  if (!videoURL || !thumbnailURL || !thumbnailLocalURL) return ShareServiceError::shareURLisAbsent;

  UploadTaskComponents video(screencast_.fileURL(), *videoURL, "video/mp4", screencastFileSize_);
  commonFileSizeSet_.insert(
      {screencastFileSize_, video.remoteName(), ShareResourceType::screencastVideo()});
  UploadTaskComponents thumbnail(*thumbnailLocalURL, *thumbnailURL, "image/png",
                                 thumbnailFileSize_);
  commonFileSizeSet_.insert(
      {thumbnailFileSize_, thumbnail.remoteName(), ShareResourceType::screencastThumbnail()});
  UploadTaskComponents html(htmlLocalURL_, htmlPublicURL_, "text/html", htmlFileSize_);
  commonFileSizeSet_.insert(
      {htmlFileSize_, getRemoteFileName(htmlPublicURL_), ShareResourceType::screencastHTML()});

  return std::vector<UploadTaskComponents>{std::move(html), std::move(thumbnail), std::move(video)};
}

void UploadScreencastTask::start() {
  UploadTask::start();
  if (!claimStart()) return;
  Result<std::vector<UploadTaskComponents>> files = makeUploadComponents();
  if (!files) uploadError_.setValue(files.error());
  {
    std::lock_guard lock(progressMu_);
    startMoment_ = std::chrono::steady_clock::now();
    files_ = files ? std::move(*files) : std::vector<UploadTaskComponents>{};
  }
  uploadFileAt(0);
}

// Each file goes on from the completion of the one before, so no thread waits for a transfer:
// a thousand queued screencasts hold no thread each.
void UploadScreencastTask::uploadFileAt(std::size_t index) {
  std::optional<UploadTaskComponents> components;
  {
    std::lock_guard lock(progressMu_);
    if (index < files_.size()) components = files_[index];
  }
  if (!components) return finishUpload();
  const std::string remoteName = components->remoteName();
  logService()->debug("Start uploading " + remoteName);
  auto weakSelf = std::weak_ptr<UploadScreencastTask>(
      std::static_pointer_cast<UploadScreencastTask>(sharedTask()));
  uploadFile(
      *components, /*needShowProgress=*/true,
      [weakSelf, remoteName](double progress) {
        if (auto self = weakSelf.lock()) self->updateProgress(remoteName, progress);
      },
      [weakSelf, remoteName, index](const UploadTaskResult& result, std::int64_t) {
        if (auto self = weakSelf.lock()) self->fileEnded(index, remoteName, result);
      });
}

void UploadScreencastTask::fileEnded(std::size_t index, const std::string& remoteName,
                                     const UploadTaskResult& result) {
  handleFileResult(result);
  logService()->debug("Finish uploading " + remoteName);
  const bool executing = isExecuting();
  const bool finished = isFinished();
  if (!executing || finished) {
    // A cancel before any request ended the task and reported it.
    logService()->debug(std::string("Can't continue. IsExecuting = ") +
                        (executing ? "true" : "false") +
                        ", isFinished = " + (finished ? "true" : "false"));
    return;
  }
  // This runs on the main queue inside the session's completion, which sends the file's
  // "upload/complete" when it returns. The rest goes on a pool thread, posted behind the item
  // running now: that complete goes out before the next file's "upload/start", and the final
  // delegate call never comes on the main queue.
  auto self = std::static_pointer_cast<UploadScreencastTask>(sharedTask());
  DispatchQueue::main().async(
      [self, index] { DispatchQueue::global().async([self, index] { self->goOnAfter(index); }); });
}

void UploadScreencastTask::goOnAfter(std::size_t index) {
  if (taskCancelled_.value()) {
    logService()->debug("Can't continue. Task has been cancelled");
    return finishUpload();
  }
  if (std::optional<Error> error = uploadError_.value()) {
    logService()->debug("Can't continue. Error = " + error->localizedDescription());
    return finishUpload();
  }
  uploadFileAt(index + 1);
}

void UploadScreencastTask::finishUpload() {
  if (!claimFinalReport()) return;
  finishTask();
  std::chrono::steady_clock::time_point startMoment;
  {
    std::lock_guard lock(progressMu_);
    startMoment = startMoment_;
  }
  const std::int64_t duration = std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now() - startMoment)
                                    .count();
  auto delegate = this->delegate();
  if (!delegate) return;
  if (taskCancelled_.value()) {
    delegate->taskCancelled(sharedTask());
  } else if (std::optional<Error> error = uploadError_.value()) {
    delegate->taskUploadError(sharedTask(), fileSize(), *error, duration);
  } else {
    delegate->taskUploadComplete(sharedTask(), fileSize(), duration);
  }
}

void UploadScreencastTask::handleFileResult(const UploadTaskResult& result) {
  if (result.isCancelled) {
    taskCancelled_.setValue(true);
  } else if (result.error) {
    uploadError_.setValue(result.error);
  } else if (!result.task) {
    uploadError_.setValue(Error(ShareServiceError::failedUpload));
  }
}

void UploadScreencastTask::updateProgress(const std::string& remoteName, double progress) {
  if (isFinished()) return;
  double common = 0;
  {
    std::lock_guard lock(progressMu_);
    auto size = commonFileSizeSet_.find(SingleFileSize{0, remoteName});
    if (size == commonFileSizeSet_.end()) return;
    SingleProgress entry{progress, size->fileSize, remoteName};
    progressSet_.erase(entry);
    progressSet_.insert(std::move(entry));
  }
  common = commonProgress(progressSet());
  logService()->debug("Common screencast progress = " + describeDouble(common));
  if (auto delegate = this->delegate()) delegate->taskProgressUpdated(sharedTask(), common);
}

double UploadScreencastTask::commonProgress(
    const std::unordered_set<SingleProgress>& progressSet) const {
  double total = 0;
  {
    std::lock_guard lock(progressMu_);
    for (const SingleFileSize& size : commonFileSizeSet_)
      total += static_cast<double>(size.fileSize);
  }
  // Three empty files have no meaningful share: report nothing done rather than divide by 0.
  if (progressSet.empty() || total == 0) return 0;
  double common = 0;
  for (const SingleProgress& entry : progressSet) {
    common += entry.progress * (static_cast<double>(entry.fileSize) / total);
  }
  return common;
}

std::unordered_set<SingleProgress> UploadScreencastTask::progressSet() const {
  std::lock_guard lock(progressMu_);
  return progressSet_;
}

std::unordered_set<SingleFileSize> UploadScreencastTask::commonFileSizeSet() const {
  std::lock_guard lock(progressMu_);
  return commonFileSizeSet_;
}

}  // namespace lumo
