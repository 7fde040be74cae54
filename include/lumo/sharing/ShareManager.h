#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "lumo/Export.h"
#include "lumo/account/UserAccountStoreService.h"
#include "lumo/api/HTTPRequester.h"
#include "lumo/capture/ScreenCapture.h"
#include "lumo/capture/ScreenCaptureHelperService.h"
#include "lumo/capture/ShareResourceType.h"
#include "lumo/platform/PlatformImage.h"
#include "lumo/registry/Injected.h"
#include "lumo/sharing/CurrentTask.h"
#include "lumo/sharing/GlobalAlertsService.h"
#include "lumo/sharing/PasteboardService.h"
#include "lumo/sharing/ProgressDisplay.h"
#include "lumo/sharing/ScreencastHTMLHelper.h"
#include "lumo/sharing/ShareService.h"
#include "lumo/sharing/ShareStatesService.h"
#include "lumo/sharing/ShareURLHelperService.h"
#include "lumo/sharing/ThumbnailsService.h"
#include "lumo/sharing/UploadQueue.h"
#include "lumo/sharing/UploadQueueDelegate.h"
#include "lumo/sharing/UserNotificationsService.h"
#include "lumo/storage/LocalFilesService.h"
#include "lumo/support/AtomicVariable.h"
#include "lumo/support/LogService.h"
#include "lumo/support/Result.h"
#include "lumo/support/SpinLock.h"
#include "lumo/tasks/DeleteTask.h"
#include "lumo/tasks/DeleteTaskDelegate.h"
#include "lumo/tasks/UploadTask.h"
#include "lumo/tasks/UploadTaskDelegate.h"

namespace lumo {

// The library's `ShareService`. Registered once and shared, always owned by a `std::shared_ptr`
// (the closures it hands to the host, the network and the main queue hold it weakly, and its
// tasks know it as their weak delegate):
//
//   Resolver::registerInMain<ShareService>([] { return std::make_shared<ShareManager>(); })
//       .scope(Resolver::application());
//
// It needs `UserAccountStoreService`, `ScreenCaptureHelperService`, `ShareURLHelperService`,
// `LocalFilesService`, `ShareStatesService` and `LogService` registered, and uses the host's
// `UserNotificationsService`, `PasteboardService`, `ProgressDisplay`, `GlobalAlertsService` and
// `ThumbnailsService` when they are registered. Its capture delegate starts as the resolved
// `ShareStatesService`.
//
// Sharing a screenshot, GIF or other file runs on the caller's thread up to the queueing: the
// share link (the file's digest, so the whole file is read), the size, the quota check, the
// link on the clipboard, the "queued" notification. The upload starts only afterwards, so the
// link is on the clipboard before any byte leaves. The quota check, in this order:
//   1. no uploads left today                      → `ShareServiceError::dailyItemsCountExceeded`
//   2. size > `Content::Limits::maxContentSize()`  → `ShareServiceError::fileUploadQuotaExceeded`
//   3. size > the bytes left today                → `ShareServiceError::dailyUploadQuotaExceeded`
// A failure reaches only the capture delegate: nothing is copied, notified or queued.
//
// From then on the manager follows each upload through its delegate calls: it keeps the uploads
// in flight (`currentTasks()`), weighs their progress by size into one overall fraction for the
// host's `ProgressDisplay`, and forwards every event of a capture to the capture delegate.
// Failed uploads are also announced by alerts and a notification on the main queue.
//
// Threads: every operation may be called from any thread; the delegate calls come on the threads
// the tasks make them on (the upload queue's, the main queue, a cancelling thread).
class LUMO_API ShareManager : public ShareService,
                              public UploadTaskDelegate,
                              public DeleteTaskDelegate,
                              public std::enable_shared_from_this<ShareManager> {
 public:
  // Resolves the collaborators and makes the manager the capture delegate's reporter.
  ShareManager();
  ~ShareManager() override;
  ShareManager(const ShareManager&) = delete;
  ShareManager& operator=(const ShareManager&) = delete;

  std::shared_ptr<ShareServiceScreenCaptureDelegate> screenCaptureDelegate() const override;
  void setScreenCaptureDelegate(std::weak_ptr<ShareServiceScreenCaptureDelegate> delegate) override;

  void share(const ScreenCapture& screenCapture) override;
  void share(const Screenshot& screenshot) override;
  void share(const Screencast& screencast) override;
  void share(const GIF& gif) override;
  void share(const OtherItem& otherItem) override;
  void deleteScreenCapture(const ScreenCapture& screenCapture) override;
  bool cancelScreenCaptureTask(const ScreenCapture& screenCapture) override;
  void checkScreenCaptureRemoteState(const ScreenCapture& screenCapture) override;

  // Upload tasks report here.
  void taskUploadStarted(const std::shared_ptr<UploadTask>& task) override;
  void taskProgressUpdated(const std::shared_ptr<UploadTask>& task, double progress) override;
  void taskUploadComplete(const std::shared_ptr<UploadTask>& task, std::int64_t fileSize,
                          std::int64_t duration) override;
  void taskUploadError(const std::shared_ptr<UploadTask>& task, std::int64_t fileSize,
                       const Error& error, std::int64_t duration) override;
  void taskCancelled(const std::shared_ptr<UploadTask>& task) override;

  // Delete tasks report here.
  void taskDeleteStarted(const std::shared_ptr<DeleteTask>& task) override;
  void taskDeleteComplete(const std::shared_ptr<DeleteTask>& task) override;
  void taskDeleteError(const std::shared_ptr<DeleteTask>& task, const Error& error) override;

  // The uploads in flight: from their start until their final report. Queued uploads that
  // have not started yet are not among them.
  std::vector<CurrentTask> currentTasks() const;
  // The bytes the overall progress covers: the uploads in flight, and those that completed
  // since the set last changed otherwise.
  std::int64_t totalFileSize() const { return totalFileSize_.value(); }
  // The share of the overall progress that completed uploads make up.
  double completedProgress() const { return completedProgress_.value(); }

  // Lets the host watch the number of transfers in the manager's queue (uploads and deletes
  // alike); see `UploadQueueDelegate`.
  void setUploadQueueDelegate(std::weak_ptr<UploadQueueDelegate> delegate);

  // The title of a screencast's page: "Screencast - ", `date` as "yyyy-MM-dd" in the user's
  // locale, calendar and time zone, " - ", the minutes, ":" and the seconds in two digits
  // ("Screencast - 2023-01-05 - 2:05" for 125 seconds).
  static std::string screencastTitle(ScreenCapture::Date date, std::int64_t durationSeconds);

  // The standard description of a task in log lines: "<UploadSingleCaptureTask: 0x5581...>".
  static std::string describe(const Operation& task);

 private:
  enum class Direction { add, subtract };

  // The procedure shared by screenshots, GIFs and other files.
  void shareSingleCapture(const ScreenCapture& screenCapture, const ShareResourceType& type,
                          const UserNotificationKind& notification);
  // Thumbnail done (host's thread): writes the PNG, reads the video's digest on a worker, then
  // continues on the main queue.
  void handleThumbnail(Screencast screencast, const std::optional<PlatformImage>& image);
  // Main queue: links (from the digest cache), page file, task, quota check, page link,
  // queueing, notification.
  void uploadScreencast(const Screencast& screencast, const PlatformImage& thumbnail);
  // The three limits, in their order.
  Result<void> checkQuota(std::int64_t bytes) const;

  void reportUploadError(const ScreenCapture& screenCapture, const Error& error) const;
  // Main queue: alerts and the failure notification of an upload.
  void showUploadFailure(const ScreenCapture& screenCapture, const Error& error) const;

  // Overall progress.
  void recalculateTotal(const std::shared_ptr<UploadTask>& task, Direction direction);
  void completeProgress(const std::shared_ptr<UploadTask>& task);
  void publishProgress();

  // The current set, each change one step under currentTasksLock_; every change logs the count.
  void insertTask(const std::shared_ptr<UploadTask>& task);
  // Replaces the entry's progress; false (and nothing changed) when the task has no entry.
  bool updateTask(const std::shared_ptr<UploadTask>& task, double progress);
  void removeTask(const std::shared_ptr<UploadTask>& task);
  void logTasksCount(std::size_t count) const;

  Injected<UserAccountStoreService> _userAccount;
  Injected<ScreenCaptureHelperService> _screencaptureHelper;
  Injected<ShareURLHelperService> _shareURLHelperService;
  Injected<LocalFilesService> _fileService;
  Injected<ShareStatesService> _shareStatesService;
  Injected<LogService> _logService;
  OptionalInjected<UserNotificationsService> _userNotificationsService;
  OptionalInjected<PasteboardService> _pasteboardService;
  OptionalInjected<ProgressDisplay> _globalProgressService;
  OptionalInjected<GlobalAlertsService> _globalAlertsService;
  OptionalInjected<ThumbnailsService> _thumbnailService;
  const ScreencastHTMLHelper screencastHTMLHelper_;

  mutable SpinLock delegateLock_;
  // guarded by delegateLock_
  std::weak_ptr<ShareServiceScreenCaptureDelegate> screenCaptureDelegate_;
  UploadQueue uploadQueue_;

  mutable SpinLock currentTasksLock_;
  std::unordered_set<CurrentTask> _currentTasks;  // guarded by currentTasksLock_
  AtomicVariable<std::int64_t> totalFileSize_{0};
  AtomicVariable<double> completedProgress_{0.0};

  const HTTPRequester httpRequester_;
};

}  // namespace lumo
