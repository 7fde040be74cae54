#include "lumo/sharing/ShareManager.h"

#include <fcntl.h>
#include <unicode/smpdtfmt.h>
#include <unicode/unistr.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <span>
#include <utility>

#include "lumo/account/Content.h"
#include "lumo/api/APIError.h"
#include "lumo/api/HTTPError.h"
#include "lumo/api/HTTPMethod.h"
#include "lumo/api/ImageDownloaderError.h"
#include "lumo/capture/ScreenCaptureUrl.h"
#include "lumo/platform/FileDescriptor.h"
#include "lumo/platform/FileManager.h"
#include "lumo/sharing/ShareServiceError.h"
#include "lumo/support/DispatchQueue.h"
#include "lumo/support/DoubleDescription.h"
#include "lumo/support/TypeName.h"
#include "lumo/tasks/DeleteScreencastTask.h"
#include "lumo/tasks/DeleteSingleCaptureTask.h"
#include "lumo/tasks/ScreenCaptureTask.h"
#include "lumo/tasks/UploadScreencastTask.h"
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

bool isValidUTF8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    std::uint32_t codePoint = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      length = 2;
      codePoint = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      length = 3;
      codePoint = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      length = 4;
      codePoint = c & 0x07;
    } else {
      return false;
    }
    if (i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      codePoint = (codePoint << 6) | (next & 0x3F);
    }
    static constexpr std::uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (codePoint < kSmallest[length] || codePoint > 0x10FFFF ||
        (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
      return false;
    }
    i += length;
  }
  return true;
}

// Writes `bytes` as the whole content of the file at `url`, creating or truncating it.
Result<void> writeFile(const Url& url, std::span<const std::uint8_t> bytes) {
  const std::filesystem::path path = url.filePath();
  const std::string action = "Cannot write " + quotedPath(path);
  if (path.empty()) return fileError(EINVAL, url.absoluteString(), action);
  FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (fd.get() < 0) return fileError(errno, path, action);
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = ::write(fd.get(), bytes.data() + written, bytes.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fileError(errno, path, action);
    }
    written += static_cast<std::size_t>(n);
  }
  if (!fd.close()) return fileError(errno, path, action);
  return {};
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

// Screencasts.

void ShareManager::share(const Screencast& screencast) {
  const auto thumbnails = _thumbnailService.wrappedValue();
  if (!thumbnails) return;
  std::weak_ptr<ShareManager> weakSelf = weak_from_this();
  // An init-capture: a plain copy of the const reference would be const and never move.
  thumbnails->thumbnail(screencast, [weakSelf, capture = screencast](
                                        const std::optional<PlatformImage>& image) mutable {
    auto self = weakSelf.lock();
    if (!self) return;
    self->handleThumbnail(std::move(capture), image);
  });
}

void ShareManager::handleThumbnail(Screencast screencast,
                                   const std::optional<PlatformImage>& image) {
  auto failThumbnail = [&] {
    const Error error = ShareServiceError::screencastThumbnailError;
    _logService->error(error);
    reportUploadError(screencast, error);
  };
  std::optional<std::vector<std::uint8_t>> png;
  if (image) png = image->pngRepresentation();
  if (!png || png->empty()) {
    failThumbnail();
    return;
  }
  auto thumbnailURL = _screencaptureHelper->screencastThumbnailURL(screencast.fileURL());
  if (!thumbnailURL) {
    _logService->error(thumbnailURL.error());
    reportUploadError(screencast, thumbnailURL.error());
    return;
  }
  screencast.setThumbnailFileURL(*thumbnailURL);
  if (auto written = writeFile(*thumbnailURL, *png); !written) {
    _logService->error(written.error());
    failThumbnail();
    return;
  }
  std::weak_ptr<ShareManager> weakSelf = weak_from_this();
  DispatchQueue::main().async([weakSelf, screencast = std::move(screencast), thumbnail = *image] {
    if (auto self = weakSelf.lock()) self->uploadScreencast(screencast, thumbnail);
  });
}

void ShareManager::uploadScreencast(const Screencast& screencast, const PlatformImage& thumbnail) {
  const auto videoURL = _shareURLHelperService->generateShareURL(screencast);
  if (!videoURL) {
    reportUploadError(screencast, ShareServiceError::shareURLisAbsent);
    return;
  }
  const auto htmlURL = _shareURLHelperService->generateHTMLShareURL(screencast);
  const auto thumbnailURL = _shareURLHelperService->generateThumbnailShareURL(screencast);
  if (!htmlURL || !thumbnailURL) {
    // The file changed or went away since the video's link was made.
    reportUploadError(screencast, ShareServiceError::shareURLisAbsent);
    return;
  }

  // A file whose date cannot be read is named after the moment it is shared.
  const auto date = screencast.date().value_or(std::chrono::system_clock::now());
  const std::string title = screencastTitle(date, screencast.durationSeconds());
  const std::string page =
      screencastHTMLHelper_.createHTML(title, *videoURL, *thumbnailURL, *htmlURL, thumbnail.size());
  if (!isValidUTF8(page)) {
    reportUploadError(screencast, ShareServiceError::screencastHTMLDataError);
    return;
  }

  const auto htmlLocalURL = _screencaptureHelper->screencastHTMLURL(screencast.fileURL());
  if (!htmlLocalURL) {
    reportUploadError(screencast, htmlLocalURL.error());
    return;
  }
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(page.data());
  if (auto written = writeFile(*htmlLocalURL, {bytes, page.size()}); !written) {
    reportUploadError(screencast, written.error());
    return;
  }

  auto task =
      UploadScreencastTask::make(screencast, *videoURL, *htmlLocalURL, *htmlURL, *_fileService);
  if (!task) {
    reportUploadError(screencast, task.error());
    return;
  }
  const std::int64_t bytesToUpload =
      (*task)->screencastFileSize() + (*task)->thumbnailFileSize() + (*task)->htmlFileSize();
  if (auto quota = checkQuota(bytesToUpload); !quota) {
    reportUploadError(screencast, quota.error());
    return;
  }
  (*task)->setDelegate(weak_from_this());
  // The page, not the video, is what a shared screencast's link opens. It is copied before the
  // task is queued, as for every other kind: a queued task may start at once, and the user must
  // be able to paste the link by the time the upload is reported started.
  if (auto pageURL = _shareURLHelperService->generateHTMLShareURL(screencast);
      pageURL && _pasteboardService) {
    _pasteboardService->copyToPasteBoard(*pageURL);
  }
  uploadQueue_.addUploadTask(*task);
  if (_userNotificationsService) {
    _userNotificationsService->showNotification(UserNotificationKind::screencastQueued(),
                                                std::string(), screencast);
  }
}

std::string ShareManager::screencastTitle(ScreenCapture::Date date, std::int64_t durationSeconds) {
  std::string day;
  UErrorCode status = U_ZERO_ERROR;
  // Made for each title: it follows the locale and time zone the user has now.
  icu::SimpleDateFormat formatter(icu::UnicodeString::fromUTF8("yyyy-MM-dd"), status);
  if (U_SUCCESS(status)) {
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(date.time_since_epoch()).count();
    icu::UnicodeString text;
    formatter.format(static_cast<UDate>(millis), text);
    text.toUTF8String(day);
  }
  const std::int64_t duration = durationSeconds > 0 ? durationSeconds : 0;
  char seconds[8];
  std::snprintf(seconds, sizeof seconds, "%02d", static_cast<int>(duration % 60));
  return "Screencast - " + day + " - " + std::to_string(duration / 60) + ":" + seconds;
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
