// The share service's own bookkeeping, driven through its delegate interfaces with real tasks
// that are never started: overall progress, the current set and its log lines, the reports of
// failures, deletes and cancels, the dispatch by kind, the quota check's order, and the
// screencast procedure up to the upload. No server is needed: uploads that do get queued fail
// at once for want of a token.

#include <gtest/gtest.h>
#include <unicode/timezone.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "ShareTestHost.h"
#include "lumo/account/Content.h"
#include "lumo/account/UserAccountStore.h"
#include "lumo/api/APIError.h"
#include "lumo/capture/GIF.h"
#include "lumo/capture/OtherItem.h"
#include "lumo/capture/ScreenCaptureHelperService.h"
#include "lumo/capture/ScreenCaptureUrl.h"
#include "lumo/capture/Screencast.h"
#include "lumo/capture/Screenshot.h"
#include "lumo/registry/Resolver.h"
#include "lumo/sharing/ShareServiceError.h"
#include "lumo/sharing/ShareURLHelperService.h"
#include "lumo/tasks/DeleteSingleCaptureTask.h"
#include "lumo/tasks/DeleteSingleFileTask.h"
#include "lumo/tasks/UploadScreencastTaskError.h"
#include "lumo/tasks/UploadSingleCaptureTask.h"

namespace lumo::sharetest {

// A kind of capture the share service does not know.
class LinkCapture final : public ScreenCapture {
 public:
  explicit LinkCapture(Url url) : url_(std::move(url)) {}
  std::unique_ptr<ScreenCapture> clone() const override {
    return std::make_unique<LinkCapture>(*this);
  }
  const Url& fileURL() const override { return url_; }

 protected:
  std::string_view kindName() const override { return "LinkCapture"; }

 private:
  Url url_;
};

namespace {

using namespace std::chrono_literals;

// The clipboard the manager writes to in these tests: memory only, never the desktop's.
Clipboard& memoryClipboard() {
  static Clipboard clipboard{Clipboard::Environment{}};
  return clipboard;
}

std::string path(const ScreenCapture& capture) {
  return relativeScreenCapturePath(capture.fileURL());
}

class ShareManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Content::Limits::resetToDefaults();
    host_ = installHost({.thumbnails = true, .clipboard = &memoryClipboard()});
    manager_ = host_.manager;
    docs_ = makeDocumentsFolder();
    memoryClipboard().setText("sentinel");
    // The account's counts live in the defaults and outlast a host.
    account()->setRemainingDailyItemsCount(Content::Limits::kDefaultMaxDailyFilesCount);
    account()->setRemainingDailyQuotaInBytes(Content::Limits::kDefaultMaxDailyFilesQuota);
  }

  void TearDown() override {
    // Queued uploads end at once without a token; let them before the next host.
    settle(host_, 10s);
    Content::Limits::resetToDefaults();
  }

  // A file of `size` random bytes in the documents folder.
  Url file(const std::string& name, std::size_t size = 64) {
    writeBytes(docs_ / name, randomBytes(size));
    return Url::fileURL(docs_ / name);
  }

  // A task for `capture` that uploads `size` bytes; never started.
  std::shared_ptr<UploadTask> task(const ScreenCapture& capture, std::int64_t size) {
    return std::make_shared<UploadSingleCaptureTask>(
        capture, UploadTaskComponents(capture.fileURL(), *Url::parse("https://cdn.example/x.png"),
                                      "image/png", size));
  }

  std::vector<std::string> countLines() const {
    return host_.log->linesStartingWith("Current tasks count = ");
  }

  std::shared_ptr<UserAccountStore> account() const {
    return std::dynamic_pointer_cast<UserAccountStore>(
        Resolver::resolveFromRoot<UserAccountStoreService>());
  }

  Host host_;
  std::shared_ptr<ShareManager> manager_;
  fs::path docs_;
};

TEST_F(ShareManagerTest, OverallProgressWeighsTheUploadsInFlightBySizeAndIgnoresLateProgress) {
  Screenshot a(file("a.png")), b(file("b.png"));
  auto taskA = task(a, 100), taskB = task(b, 300);

  manager_->taskUploadStarted(taskA);
  manager_->taskUploadStarted(taskB);
  EXPECT_EQ(manager_->totalFileSize(), 400);
  EXPECT_EQ(manager_->currentTasks().size(), 2u);

  manager_->taskProgressUpdated(taskB, 0.5);
  ASSERT_FALSE(host_.progress->values().empty());
  EXPECT_EQ(host_.progress->values().back(), 0.375);
  // The store hears the task's own size and fraction, not the overall ones.
  auto progressB = host_.states->getProgress(b);
  ASSERT_TRUE(progressB);
  EXPECT_EQ(progressB->fileSize, 300);
  EXPECT_EQ(progressB->progress, 0.5);

  manager_->taskUploadComplete(taskA, 100, 12);
  EXPECT_EQ(manager_->completedProgress(), 0.25);
  EXPECT_EQ(host_.states->getState(a), ShareState::uploaded);

  manager_->taskProgressUpdated(taskB, 1.0);
  EXPECT_EQ(host_.progress->values().back(), 1.0);
  manager_->taskUploadComplete(taskB, 300, 20);
  EXPECT_EQ(manager_->completedProgress(), 1.0);
  EXPECT_TRUE(manager_->currentTasks().empty());

  EXPECT_EQ(countLines(),
            (std::vector<std::string>{"Current tasks count = 1", "Current tasks count = 2",
                                      "Current tasks count = 2", "Current tasks count = 1",
                                      "Current tasks count = 1", "Current tasks count = 0"}));
  EXPECT_EQ(host_.log->linesStartingWith("Task <").front(),
            "Task " + ShareManager::describe(*taskB) + ". Progress = 0.5");
  EXPECT_EQ(host_.log->linesStartingWith("Task <").back(),
            "Task " + ShareManager::describe(*taskB) + ". Progress = 1.0");
  EXPECT_EQ(ShareManager::describe(*taskB).rfind("<UploadSingleCaptureTask: 0x", 0), 0u);

  // "Completed" notices go through the main queue.
  EXPECT_TRUE(host_.notifications->notifications().empty());
  MainQueue::drain();
  auto notices = host_.notifications->notifications();
  ASSERT_EQ(notices.size(), 2u);
  EXPECT_EQ(notices[0].kind, UserNotificationKind::uploadCompleted());
  EXPECT_EQ(notices[0].path, path(a));
  EXPECT_TRUE(notices[0].onMainThread);
  EXPECT_EQ(notices[0].detail, "");

  // Progress that arrives after the final call is dropped.
  const auto published = host_.progress->values().size();
  manager_->taskProgressUpdated(taskA, 0.7);
  EXPECT_TRUE(manager_->currentTasks().empty());
  EXPECT_EQ(host_.progress->values().size(), published);
  EXPECT_FALSE(host_.states->getProgress(a));
  EXPECT_EQ(host_.states->getState(a), ShareState::uploaded);
}

TEST_F(ShareManagerTest, StartErrorAndCancelRestartTheOverallProgressFromTheUploadsInFlight) {
  Screenshot a(file("a.png")), b(file("b.png")), c(file("c.png"));
  auto taskA = task(a, 100), taskB = task(b, 300), taskC = task(c, 200);
  manager_->taskUploadStarted(taskA);
  manager_->taskUploadStarted(taskB);
  manager_->taskUploadComplete(taskA, 100, 1);
  EXPECT_EQ(manager_->completedProgress(), 0.25);

  manager_->taskUploadStarted(taskC);
  EXPECT_EQ(manager_->completedProgress(), 0.0);
  EXPECT_EQ(manager_->totalFileSize(), 500);
  manager_->taskProgressUpdated(taskC, 0.5);
  EXPECT_EQ(host_.progress->values().back(), 0.2);

  manager_->taskUploadError(taskB, 300, ShareServiceError::failedUpload, 5);
  EXPECT_EQ(manager_->totalFileSize(), 200);
  EXPECT_EQ(host_.states->getState(b), ShareState::error);

  manager_->taskCancelled(taskC);
  EXPECT_EQ(manager_->totalFileSize(), 0);
  EXPECT_EQ(host_.states->getState(c), ShareState::cancelled);
  EXPECT_TRUE(manager_->currentTasks().empty());
  EXPECT_EQ(host_.log->linesStartingWith("Task cancelled = "),
            std::vector<std::string>{"Task cancelled = " + ShareManager::describe(*taskC)});
}

TEST_F(ShareManagerTest, FailedUploadsAreAnnouncedOnTheMainQueue) {
  GIF gif(file("a.gif"));
  OtherItem other(file("a.pdf"));
  Screencast cast(file("a.mp4"));
  Screenshot shot(file("a.png"));
  const Error serviceRefusal = APIError::errors(ModelErrorResponse{{"No uploads left", "Sorry"}});

  manager_->taskUploadError(task(gif, 10), 10, serviceRefusal, 1);
  manager_->taskUploadError(task(other, 10), 10, ShareServiceError::failedUpload, 1);
  manager_->taskUploadError(task(cast, 10), 10,
                            UploadScreencastTaskError::screencastThumbnailFileSizeUnknown, 1);
  manager_->taskUploadError(task(shot, 10), 10,
                            Error::transport(kURLErrorDomain, -1004, "Could not connect"), 1);

  // The delegate hears at once; alerts and notifications wait for the main queue.
  EXPECT_EQ(host_.states->getState(gif), ShareState::error);
  EXPECT_EQ(host_.states->getState(cast), ShareState::error);
  EXPECT_TRUE(host_.alerts->messages().empty());
  EXPECT_TRUE(host_.notifications->notifications().empty());
  MainQueue::drain();

  // Each failure also gets the states store's own alert with the error's description.
  EXPECT_EQ(
      host_.alerts->messages(),
      (std::vector<std::string>{"No uploads left\nSorry", "No uploads left\nSorry", "Failed Upload",
                                "Failed Upload",
                                Error(UploadScreencastTaskError::screencastThumbnailFileSizeUnknown)
                                    .localizedDescription(),
                                "Could not connect"}));
  std::vector<std::string> words;
  for (const auto& n : host_.notifications->notifications()) {
    EXPECT_EQ(n.kind.type, UserNotificationKind::Type::uploadFailed);
    EXPECT_TRUE(n.onMainThread);
    words.push_back(n.kind.item);
  }
  EXPECT_EQ(words, (std::vector<std::string>{"GIF", "file", "screencast", "screenshot"}));
}

TEST_F(ShareManagerTest, DeleteCallbacksRecordCaptureTasksAndLogTheRest) {
  Screenshot shot(file("a.png"));
  auto urls = Resolver::resolveFromRoot<ShareURLHelperService>();
  auto deleteTask = DeleteSingleCaptureTask::make(shot, *urls);
  ASSERT_TRUE(deleteTask);
  const std::string name = ShareManager::describe(*deleteTask);
  EXPECT_EQ(name.rfind("<DeleteSingleCaptureTask: 0x", 0), 0u);

  manager_->taskDeleteStarted(deleteTask);
  manager_->taskDeleteError(deleteTask, ShareServiceError::failedDeleteOperation);
  EXPECT_EQ(host_.states->getState(shot), ShareState::unknown);
  manager_->taskDeleteComplete(deleteTask);
  EXPECT_EQ(host_.states->getState(shot), ShareState::notUploaded);

  // A delete bound to no capture is only logged when it starts.
  auto plain = std::make_shared<DeleteSingleFileTask>(DeleteTaskComponents{"abc.png"});
  manager_->taskDeleteComplete(plain);

  EXPECT_EQ(
      host_.log->linesStartingWith("Delete task "),
      (std::vector<std::string>{"Delete task started = " + name,
                                "Delete task error = " + name + ". Error = Failed Delete Operation",
                                "Delete task completed = " + name}));
  EXPECT_EQ(host_.observer->stateCount(), 1u);
}

TEST_F(ShareManagerTest, AKindTheServiceDoesNotKnowIsOnlyLogged) {
  LinkCapture link(file("a.webloc"));
  manager_->share(static_cast<const ScreenCapture&>(link));
  EXPECT_EQ(host_.log->linesStartingWith("Can't share "),
            std::vector<std::string>{"Can't share LinkCapture(fileURL: " +
                                     link.fileURL().absoluteString() + "). Unknown item"});
  EXPECT_EQ(host_.observer->stateCount(), 0u);
  EXPECT_TRUE(host_.queue->counts().empty());
  EXPECT_EQ(memoryClipboard().memoryText(), "sentinel");
}

TEST_F(ShareManagerTest, CancelFindsTheUploadByItsPathBelowDocuments) {
  Screenshot shot(file("a.png"));
  EXPECT_FALSE(manager_->cancelScreenCaptureTask(shot));
  EXPECT_EQ(host_.log->linesStartingWith("Can't cancel task"),
            std::vector<std::string>{"Can't cancel task. No task with " +
                                     shot.fileURL().absoluteString()});

  auto upload = task(shot, 64);
  upload->setDelegate(manager_);
  manager_->taskUploadStarted(upload);
  // Another folder, the same path after "Documents": the same capture.
  const fs::path elsewhere = makeDocumentsFolder() / "a.png";
  writeBytes(elsewhere, randomBytes(8));
  EXPECT_TRUE(manager_->cancelScreenCaptureTask(Screenshot(Url::fileURL(elsewhere))));
  // Nothing was sent yet, so the task ends on this thread.
  EXPECT_TRUE(upload->isFinished());
  EXPECT_EQ(host_.states->getState(shot), ShareState::cancelled);
  EXPECT_TRUE(manager_->currentTasks().empty());
}

TEST_F(ShareManagerTest, QuotaChecksRunInOrderAndStopEverything) {
  auto store = account();
  ASSERT_TRUE(store);
  Screenshot shot(file("a.png", 11));

  // No items left beats every byte limit.
  store->setRemainingDailyItemsCount(0);
  store->setRemainingDailyQuotaInBytes(1u << 30);
  manager_->share(shot);
  // The size limit is checked before the day's bytes.
  store->setRemainingDailyItemsCount(5);
  store->setRemainingDailyQuotaInBytes(5);
  Content::Limits::setMaxContentSize(10);
  manager_->share(shot);
  Content::Limits::setMaxContentSize(11);
  manager_->share(shot);
  // A limit of 0 refuses any byte.
  Content::Limits::setMaxContentSize(0);
  manager_->share(shot);

  EXPECT_EQ(host_.states->getState(shot), ShareState::error);
  MainQueue::drain();
  EXPECT_EQ(
      host_.alerts->messages(),
      (std::vector<std::string>{"Daily Items Count Exceeded", "File Upload Quota Exceeded",
                                "Daily Upload Quota Exceeded", "File Upload Quota Exceeded"}));
  EXPECT_TRUE(host_.queue->counts().empty());
  EXPECT_TRUE(host_.notifications->notifications().empty());
  EXPECT_EQ(memoryClipboard().memoryText(), "sentinel");
  EXPECT_EQ(host_.log->linesStartingWith("File size: ").back(), "File size: 11");
  EXPECT_EQ(host_.log->linesStartingWith("Remaining daily quota: ").back(),
            "Remaining daily quota: 5");
}

TEST(ScreencastTitleTest, DateInTheUsersZoneThenMinutesAndTwoDigitSeconds) {
  icu::TimeZone::adoptDefault(icu::TimeZone::createTimeZone("UTC"));
  using namespace std::chrono;
  const auto day = sys_days{2023y / January / 5} + 12h;
  EXPECT_EQ(ShareManager::screencastTitle(day, 125), "Screencast - 2023-01-05 - 2:05");
  EXPECT_EQ(ShareManager::screencastTitle(day, 59), "Screencast - 2023-01-05 - 0:59");
  EXPECT_EQ(ShareManager::screencastTitle(day, 600), "Screencast - 2023-01-05 - 10:00");
  EXPECT_EQ(ShareManager::screencastTitle(day, 3605), "Screencast - 2023-01-05 - 60:05");
  icu::TimeZone::adoptDefault(icu::TimeZone::createTimeZone("Pacific/Kiritimati"));
  EXPECT_EQ(ShareManager::screencastTitle(day, 0), "Screencast - 2023-01-06 - 0:00");
  icu::TimeZone::adoptDefault(icu::TimeZone::createTimeZone("UTC"));
}

class ScreencastShareTest : public ShareManagerTest {
 protected:
  fs::path thumbnailPath(const Screencast& cast) {
    auto helper = Resolver::resolveFromRoot<ScreenCaptureHelperService>();
    return helper->screencastThumbnailURL(cast.fileURL())->filePath();
  }
};

TEST_F(ScreencastShareTest, WithoutAThumbnailServiceNothingHappens) {
  host_.states->waitUntilSaved();
  host_ = installHost({.thumbnails = false, .clipboard = &memoryClipboard()});
  manager_ = host_.manager;
  Screencast cast(file("a.mp4"));
  manager_->share(static_cast<const ScreenCapture&>(cast));
  MainQueue::runFor(200ms);
  EXPECT_EQ(host_.observer->stateCount(), 0u);
  EXPECT_TRUE(host_.log->errors().empty());
  EXPECT_FALSE(fs::exists(thumbnailPath(cast)));
  EXPECT_EQ(memoryClipboard().memoryText(), "sentinel");
}

TEST_F(ScreencastShareTest, AMissingThumbnailFailsTheShare) {
  host_.thumbnails->answerNothing = true;
  Screencast cast(file("a.mp4"));
  manager_->share(cast);
  ASSERT_TRUE(waitUntil([&] { return host_.observer->finalCount(path(cast)) == 1; }, 10s));
  EXPECT_EQ(host_.observer->states(path(cast)), std::vector<ShareState>{ShareState::error});
  ASSERT_FALSE(host_.log->errors().empty());
  EXPECT_EQ(host_.log->errors().front(), Error(ShareServiceError::screencastThumbnailError));
  EXPECT_TRUE(host_.queue->counts().empty());
  EXPECT_TRUE(host_.notifications->notifications().empty());
  EXPECT_EQ(memoryClipboard().memoryText(), "sentinel");
}

TEST_F(ScreencastShareTest, AThumbnailThatComesAfterTheManagerIsGoneIsIgnored) {
  host_.thumbnails->hold = true;
  Screencast cast(file("a.mp4"));
  manager_->share(cast);
  auto completion = host_.thumbnails->takeHeld();
  ASSERT_TRUE(completion);
  const fs::path thumbnail = thumbnailPath(cast);

  std::weak_ptr<ShareManager> gone = manager_;
  manager_.reset();
  host_.manager.reset();
  Resolver::reset();
  ASSERT_TRUE(gone.expired());
  host_.states->waitUntilSaved();

  completion(PlatformImage::fromRGBA(2, 2, Bytes(16, 0xFF)));
  MainQueue::runFor(100ms);
  EXPECT_FALSE(fs::exists(thumbnail));
  EXPECT_EQ(host_.observer->stateCount(), 0u);
  host_ = installHost({.thumbnails = true, .clipboard = &memoryClipboard()});
  manager_ = host_.manager;
}

TEST_F(ScreencastShareTest, AVideoGoneAfterItsThumbnailFailsWithoutALink) {
  host_.thumbnails->hold = true;
  Screencast cast(file("gone.mp4"));
  manager_->share(cast);
  auto completion = host_.thumbnails->takeHeld();
  ASSERT_TRUE(completion);
  fs::remove(cast.fileURL().filePath());
  completion(PlatformImage::fromRGBA(4, 2, Bytes(32, 0x80)));
  ASSERT_TRUE(waitUntil([&] { return host_.observer->finalCount(path(cast)) == 1; }, 10s));
  // The thumbnail was written before the link was asked for, and stays.
  EXPECT_TRUE(fs::exists(thumbnailPath(cast)));
  MainQueue::drain();
  EXPECT_EQ(host_.alerts->messages(), std::vector<std::string>{"Shareur Lis Absent"});
  EXPECT_TRUE(host_.queue->counts().empty());
  EXPECT_EQ(memoryClipboard().memoryText(), "sentinel");
}

}  // namespace
}  // namespace lumo::sharetest
