#include "lumo/sharing/ShareManager.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "lumo/account/Content.h"
#include "lumo/api/APIError.h"
#include "lumo/api/HTTPError.h"
#include "lumo/api/HTTPMethod.h"
#include "lumo/api/ImageDownloaderError.h"
#include "lumo/capture/ScreenCaptureUrl.h"
#include "lumo/platform/FileManager.h"
#include "lumo/sharing/ShareServiceError.h"
#include "lumo/support/DispatchQueue.h"
#include "lumo/support/DoubleDescription.h"
#include "lumo/support/TypeName.h"
#include "lumo/tasks/DeleteScreencastTask.h"
#include "lumo/tasks/DeleteSingleCaptureTask.h"
#include "lumo/tasks/ScreenCaptureTask.h"
#include "lumo/tasks/UploadSingleCaptureTask.h"
#include "lumo/tasks/UploadTaskComponents.h"
#include "lumo/tasks/UploadTaskError.h"

namespace lumo {
namespace {

// How a capture of a kind the service does not know reads in its log line.
std::string describeCapture(const ScreenCapture& screenCapture) {
  return unqualifiedTypeName(typeid(screenCapture)) +
         "(fileURL: " + screenCapture.fileURL().absoluteString() + ")";
}

// The errors that carry a text meant for users; the others are shown by the states store only.
bool isLocalizedError(const Error& error) {
  return error.is<ShareServiceError>() || error.is<HTTPError>() || error.is<UploadTaskError>() ||
         error.is<ImageDownloaderError>();
}

// The word for the capture in an "upload failed" notification.
std::string itemWord(const ScreenCapture& screenCapture) {
  if (dynamic_cast<const Screenshot*>(&screenCapture)) return UserNotificationKind::kScreenshotItem;
  if (dynamic_cast<const Screencast*>(&screenCapture)) return UserNotificationKind::kScreencastItem;
  if (dynamic_cast<const GIF*>(&screenCapture)) return UserNotificationKind::kGIFItem;
  return UserNotificationKind::kFileItem;
}

}  // namespace

ShareManager::ShareManager() {
  // The states store records what the manager reports unless the host chooses another
  // receiver.
  screenCaptureDelegate_ = _shareStatesService.wrappedValue();
}

ShareManager::~ShareManager() = default;

std::shared_ptr<ShareServiceScreenCaptureDelegate> ShareManager::screenCaptureDelegate() const {
  std::lock_guard lock(delegateLock_);
  return screenCaptureDelegate_.lock();
}

void ShareManager::setScreenCaptureDelegate(
    std::weak_ptr<ShareServiceScreenCaptureDelegate> delegate) {
  std::lock_guard lock(delegateLock_);
  screenCaptureDelegate_ = std::move(delegate);
}

void ShareManager::setUploadQueueDelegate(std::weak_ptr<UploadQueueDelegate> delegate) {
  uploadQueue_.setDelegate(std::move(delegate));
}

// Sharing.

void ShareManager::share(const ScreenCapture& screenCapture) {
  if (const auto* screenshot = dynamic_cast<const Screenshot*>(&screenCapture)) {
    share(*screenshot);
  } else if (const auto* screencast = dynamic_cast<const Screencast*>(&screenCapture)) {
    share(*screencast);
  } else if (const auto* gif = dynamic_cast<const GIF*>(&screenCapture)) {
    share(*gif);
  } else if (const auto* otherItem = dynamic_cast<const OtherItem*>(&screenCapture)) {
    share(*otherItem);
  } else {
    _logService->debug("Can't share " + describeCapture(screenCapture) + ". Unknown item");
  }
}

void ShareManager::share(const Screenshot& screenshot) {
  shareSingleCapture(screenshot, ShareResourceType::screenshot(),
                     UserNotificationKind::screenshotQueued());
}

void ShareManager::share(const GIF& gif) {
  shareSingleCapture(gif, ShareResourceType::gif(), UserNotificationKind::gifQueued());
}

void ShareManager::share(const OtherItem& otherItem) {
  shareSingleCapture(otherItem, ShareResourceType::other(otherItem.fileURL().pathExtension()),
                     UserNotificationKind::fileQueued());
}

void ShareManager::shareSingleCapture(const ScreenCapture& screenCapture,
                                      const ShareResourceType& type,
                                      const UserNotificationKind& notification) {
  auto components =
      UploadTaskComponents::components(screenCapture, type, *_shareURLHelperService, *_fileService);
  if (!components) {
    reportUploadError(screenCapture, components.error());
    return;
  }
  _logService->debug("File size: " + std::to_string(components->fileSize));
  _logService->debug("Remaining daily quota: " +
                     std::to_string(_userAccount->remainingDailyQuotaInBytes()));
  if (auto quota = checkQuota(components->fileSize); !quota) {
    reportUploadError(screenCapture, quota.error());
    return;
  }
  // The link goes on the clipboard before the upload is queued, so that the user can paste it
  // at once; it stays there whatever the upload's outcome.
  if (_pasteboardService) _pasteboardService->copyToPasteBoard(components->uploadURL);
  if (_userNotificationsService) {
    _userNotificationsService->showNotification(notification, std::string(), screenCapture);
  }
  auto task = std::make_shared<UploadSingleCaptureTask>(screenCapture, std::move(*components));
  task->setDelegate(weak_from_this());
  uploadQueue_.addUploadTask(std::move(task));
}

Result<void> ShareManager::checkQuota(std::int64_t bytes) const {
  if (_userAccount->remainingDailyItemsCount() == 0) {
    return ShareServiceError::dailyItemsCountExceeded;
  }
  // Compared as whole numbers: a negative count never exceeds an unsigned limit.
  const bool positive = bytes > 0;
  const auto size = static_cast<std::uint64_t>(positive ? bytes : 0);
  if (positive && size > Content::Limits::maxContentSize()) {
    return ShareServiceError::fileUploadQuotaExceeded;
  }
  if (positive && size > _userAccount->remainingDailyQuotaInBytes()) {
    return ShareServiceError::dailyUploadQuotaExceeded;
  }
  return {};
}

void ShareManager::reportUploadError(const ScreenCapture& screenCapture, const Error& error) const {
  if (auto delegate = screenCaptureDelegate()) {
    delegate->screencaptureUploadError(screenCapture, error);
  }
}

// Delete, cancel, remote check.

void ShareManager::deleteScreenCapture(const ScreenCapture& screenCapture) {
  std::shared_ptr<DeleteTask> task;
  if (const auto* screencast = dynamic_cast<const Screencast*>(&screenCapture)) {
    task = DeleteScreencastTask::make(*screencast, *_shareURLHelperService);
  } else {
    task = DeleteSingleCaptureTask::make(screenCapture, *_shareURLHelperService);
  }
  if (!task) return;
  task->setDelegate(weak_from_this());
  uploadQueue_.addDeleteTask(std::move(task));
}

bool ShareManager::cancelScreenCaptureTask(const ScreenCapture& screenCapture) {
  const std::string wanted = relativeScreenCapturePath(screenCapture.fileURL());
  for (const auto& entry : currentTasks()) {
    auto* captureTask = dynamic_cast<ScreenCaptureTask*>(entry.task.get());
    if (!captureTask) continue;
    if (relativeScreenCapturePath(captureTask->screenCapture().fileURL()) == wanted) {
      captureTask->cancel();
      return true;
    }
  }
  _logService->debug("Can't cancel task. No task with " + screenCapture.fileURL().absoluteString());
  return false;
}

void ShareManager::checkScreenCaptureRemoteState(const ScreenCapture& screenCapture) {
  std::shared_ptr<const ScreenCapture> capture = screenCapture.clone();
  std::weak_ptr<ShareManager> weakSelf = weak_from_this();
  _shareURLHelperService->getShareURL(
      *capture, DispatchQueue::global(), [weakSelf, capture](std::optional<Url> url) {
        if (!url) return;
        auto self = weakSelf.lock();
        if (!self) return;
        self->httpRequester_.request(
            *url, HTTPMethod::head, std::nullopt, std::nullopt,
            [weakSelf, capture](const Result<HTTPResponse>& result) {
              auto self = weakSelf.lock();
              if (!self) return;
              std::optional<bool> existsOnServer;
              if (result) {
                existsOnServer = true;
              } else if (const auto* http = result.error().as<HTTPError>();
                         http && http->kind() == HTTPError::Kind::badResponse &&
                         http->statusCode() == 403) {
                // The delivery address answers a missing object as anonymous storage does.
                existsOnServer = false;
              }
              if (!existsOnServer) return;
              if (auto delegate = self->screenCaptureDelegate()) {
                delegate->screenCaptureRemoteStateUpdated(*capture, *existsOnServer);
              }
            });
      });
}

// Upload task delegate.

void ShareManager::taskUploadStarted(const std::shared_ptr<UploadTask>& task) {
  if (!task) return;
  recalculateTotal(task, Direction::add);
  insertTask(task);
  if (auto* captureTask = dynamic_cast<ScreenCaptureTask*>(task.get())) {
    if (auto delegate = screenCaptureDelegate()) {
      delegate->screencaptureStartedUploading(captureTask->screenCapture());
    }
  }
}

void ShareManager::taskProgressUpdated(const std::shared_ptr<UploadTask>& task, double progress) {
  if (!task) return;
  _logService->debug("Task " + describe(*task) + ". Progress = " + describeDouble(progress));
  // A report that overtook the task's final call (they come on different threads for a
  // screencast) must not bring back the entry of a task that has ended.
  if (!updateTask(task, progress)) return;
  if (auto* captureTask = dynamic_cast<ScreenCaptureTask*>(task.get())) {
    if (auto delegate = screenCaptureDelegate()) {
      delegate->screencaptureProgressUpdated(captureTask->screenCapture(), task->fileSize(),
                                             progress);
    }
  }
  publishProgress();
}

void ShareManager::taskUploadComplete(const std::shared_ptr<UploadTask>& task,
                                      std::int64_t /*fileSize*/, std::int64_t /*duration*/) {
  if (!task) return;
  completeProgress(task);
  removeTask(task);
  auto* captureTask = dynamic_cast<ScreenCaptureTask*>(task.get());
  if (!captureTask) return;
  if (auto delegate = screenCaptureDelegate()) {
    delegate->screencaptureUploadComplete(captureTask->screenCapture());
  }
  std::shared_ptr<const ScreenCapture> capture = captureTask->screenCapture().clone();
  std::weak_ptr<ShareManager> weakSelf = weak_from_this();
  DispatchQueue::main().async([weakSelf, capture] {
    auto self = weakSelf.lock();
    if (!self || !self->_userNotificationsService) return;
    self->_userNotificationsService->showNotification(UserNotificationKind::uploadCompleted(),
                                                      std::string(), *capture);
  });
}

void ShareManager::taskUploadError(const std::shared_ptr<UploadTask>& task,
                                   std::int64_t /*fileSize*/, const Error& error,
                                   std::int64_t /*duration*/) {
  if (!task) return;
  recalculateTotal(task, Direction::subtract);
  removeTask(task);
  auto* captureTask = dynamic_cast<ScreenCaptureTask*>(task.get());
  if (!captureTask) return;
  std::shared_ptr<const ScreenCapture> capture = captureTask->screenCapture().clone();
  std::weak_ptr<ShareManager> weakSelf = weak_from_this();
  DispatchQueue::main().async([weakSelf, capture, error] {
    if (auto self = weakSelf.lock()) self->showUploadFailure(*capture, error);
  });
  reportUploadError(*capture, error);
}

void ShareManager::taskCancelled(const std::shared_ptr<UploadTask>& task) {
  if (!task) return;
  _logService->debug("Task cancelled = " + describe(*task));
  recalculateTotal(task, Direction::subtract);
  removeTask(task);
  if (auto* captureTask = dynamic_cast<ScreenCaptureTask*>(task.get())) {
    if (auto delegate = screenCaptureDelegate()) {
      delegate->screencaptureUploadCancelled(captureTask->screenCapture());
    }
  }
}

void ShareManager::showUploadFailure(const ScreenCapture& screenCapture, const Error& error) const {
  const auto alerts = _globalAlertsService.wrappedValue();
  if (const auto* apiError = error.as<APIError>();
      alerts && apiError && apiError->kind() == APIError::Kind::errors) {
    std::string message;
    for (const auto& text : apiError->errorResponse().errors) {
      if (!message.empty()) message += '\n';
      message += text;
    }
    alerts->showAlert(message);
  }
  if (alerts && isLocalizedError(error)) alerts->showAlert(error.localizedDescription());
  if (_userNotificationsService) {
    _userNotificationsService->showNotification(
        UserNotificationKind::uploadFailed(itemWord(screenCapture)), std::string(), screenCapture);
  }
}

// Delete task delegate.

void ShareManager::taskDeleteStarted(const std::shared_ptr<DeleteTask>& task) {
  if (!task) return;
  _logService->debug("Delete task started = " + describe(*task));
}

void ShareManager::taskDeleteComplete(const std::shared_ptr<DeleteTask>& task) {
  if (!task) return;
  auto* captureTask = dynamic_cast<ScreenCaptureTask*>(task.get());
  if (!captureTask) return;
  if (auto delegate = screenCaptureDelegate()) {
    delegate->screencaptureDeleteS3Completed(captureTask->screenCapture());
  }
  _logService->debug("Delete task completed = " + describe(*task));
}

void ShareManager::taskDeleteError(const std::shared_ptr<DeleteTask>& task, const Error& error) {
  if (!task) return;
  _logService->debug("Delete task error = " + describe(*task) +
                     ". Error = " + error.localizedDescription());
}

// Overall progress.

void ShareManager::recalculateTotal(const std::shared_ptr<UploadTask>& task, Direction direction) {
  completedProgress_.setValue(0);
  // The task itself is left out of the sum and then added or not: the same as adding it to the
  // set's sum before it is inserted, or subtracting it while it is still there, and right even
  // when a report comes for a task the set does not hold.
  std::int64_t total = 0;
  for (const auto& entry : currentTasks()) {
    if (entry.task != task) total += entry.task->fileSize();
  }
  if (direction == Direction::add) total += task->fileSize();
  totalFileSize_.setValue(total);
}

void ShareManager::completeProgress(const std::shared_ptr<UploadTask>& task) {
  const auto total = static_cast<double>(totalFileSize_.value());
  if (total <= 0) return;  // empty files weigh nothing
  completedProgress_.setValue(completedProgress_.value() +
                              static_cast<double>(task->fileSize()) / total);
}

void ShareManager::publishProgress() {
  const auto entries = currentTasks();
  const auto total = static_cast<double>(totalFileSize_.value());
  double fraction = completedProgress_.value();
  if (total > 0) {
    for (const auto& entry : entries) {
      fraction += entry.progress * (static_cast<double>(entry.task->fileSize()) / total);
    }
  }
  if (_globalProgressService) _globalProgressService->updateProgress(fraction);
}

// The current set.

std::vector<CurrentTask> ShareManager::currentTasks() const {
  std::lock_guard lock(currentTasksLock_);
  return {_currentTasks.begin(), _currentTasks.end()};
}

void ShareManager::insertTask(const std::shared_ptr<UploadTask>& task) {
  std::size_t count = 0;
  {
    std::lock_guard lock(currentTasksLock_);
    _currentTasks.erase(CurrentTask{task});
    _currentTasks.insert(CurrentTask{task, 0.0});
    count = _currentTasks.size();
  }
  logTasksCount(count);
}

bool ShareManager::updateTask(const std::shared_ptr<UploadTask>& task, double progress) {
  std::size_t count = 0;
  {
    std::lock_guard lock(currentTasksLock_);
    if (_currentTasks.erase(CurrentTask{task}) == 0) return false;
    _currentTasks.insert(CurrentTask{task, progress});
    count = _currentTasks.size();
  }
  logTasksCount(count);
  return true;
}

void ShareManager::removeTask(const std::shared_ptr<UploadTask>& task) {
  std::size_t count = 0;
  {
    std::lock_guard lock(currentTasksLock_);
    _currentTasks.erase(CurrentTask{task});
    count = _currentTasks.size();
  }
  logTasksCount(count);
}

void ShareManager::logTasksCount(std::size_t count) const {
  _logService->debug("Current tasks count = " + std::to_string(count));
}

std::string ShareManager::describe(const Operation& task) {
  char address[32];
  std::snprintf(address, sizeof address, "%p", static_cast<const void*>(&task));
  return "<" + unqualifiedTypeName(typeid(task)) + ": " + address + ">";
}

}  // namespace lumo
