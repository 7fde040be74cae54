// The share service's bookkeeping, driven through its task delegate with tasks that are never
// started, and what happens before an upload. No server: a queued upload fails for want of a
// token.

#include <gtest/gtest.h>
#include <unicode/timezone.h>

#include <thread>

#include "ShareTestHost.h"
#include "lumo/account/Content.h"
#include "lumo/account/UserAccountStore.h"
#include "lumo/api/APIError.h"
#include "lumo/api/APISettings.h"
#include "lumo/capture/GIF.h"
#include "lumo/capture/ScreenCaptureHelperService.h"
#include "lumo/capture/Screencast.h"
#include "lumo/capture/Screenshot.h"
#include "lumo/registry/Resolver.h"
#include "lumo/sharing/ShareServiceError.h"
#include "lumo/sharing/UploadQueue.h"
#include "lumo/tasks/DeleteMultipleFilesTask.h"
#include "lumo/tasks/UploadScreencastTaskError.h"
#include "lumo/tasks/UploadSingleCaptureTask.h"

namespace lumo::sharetest {
namespace {

using namespace std::chrono_literals;
using S = ShareState;
using N = UserNotificationKind;
using Strings = std::vector<std::string>;

std::string path(const ScreenCapture& capture) {
  return relativeScreenCapturePath(capture.fileURL());
}

// A task for `capture` that would upload `size` bytes.
std::shared_ptr<UploadTask> task(const ScreenCapture& capture, std::int64_t size) {
  return std::make_shared<UploadSingleCaptureTask>(
      capture, UploadTaskComponents(capture.fileURL(), *Url::parse("https://cdn.example/x.png"),
                                    "image/png", size));
}

class ShareManagerTest : public ::testing::Test {
 protected:
  void SetUp() override { install(); }
  void TearDown() override {
    if (host_.manager) settle(host_, 30s);
    Content::Limits::resetToDefaults();
    APISettings::setServiceAddresses(addresses_);
  }
  void install(bool thumbnails = true) {
    Content::Limits::resetToDefaults();
    host_ = installHost({.thumbnails = thumbnails, .clipboard = &clipboard_});
    clipboard_.setText("sentinel");
    // The account's counts live in the defaults and outlast a host.
    account()->setRemainingDailyItemsCount(Content::Limits::kDefaultMaxDailyFilesCount);
    account()->setRemainingDailyQuotaInBytes(Content::Limits::kDefaultMaxDailyFilesQuota);
  }
  std::shared_ptr<UserAccountStore> account() const {
    return std::dynamic_pointer_cast<UserAccountStore>(
        Resolver::resolveFromRoot<UserAccountStoreService>());
  }
  Url file(const std::string& name, std::size_t size = 64) {
    writeBytes(docs_ / name, randomBytes(size));
    return Url::fileURL(docs_ / name);
  }
  fs::path local(const Screencast& cast, bool page = false) const {
    auto helper = Resolver::resolveFromRoot<ScreenCaptureHelperService>();
    return (page ? helper->screencastHTMLURL(cast.fileURL())
                 : helper->screencastThumbnailURL(cast.fileURL()))
        ->filePath();
  }
  // No link copied, no notice, no upload: only the states store shows an error.
  void expectNothingShared() {
    EXPECT_EQ(clipboard_.memoryText(), "sentinel");
    EXPECT_TRUE(host_.notifications->notifications().empty());
    EXPECT_TRUE(host_.queue->counts().empty());
  }
  ShareManager& manager() { return *host_.manager; }

  fs::path docs_ = makeDocumentsFolder();  // prepares the process first
  const ServiceAddresses addresses_ = APISettings::serviceAddresses();
  Clipboard clipboard_{Clipboard::Environment{}};  // memory only, never the desktop's
  Host host_;
};

TEST_F(ShareManagerTest, OverallProgressWeighsTheUploadsInFlightBySize) {
  Screenshot a(file("a.png")), b(file("b.png")), c(file("c.png"));
  auto ta = task(a, 100), tb = task(b, 300), tc = task(c, 200);
  manager().taskUploadStarted(ta);
  manager().taskUploadStarted(tb);
  manager().taskProgressUpdated(tb, 0.5);
  EXPECT_EQ(host_.progress->values().back(), 0.375);
  EXPECT_EQ(host_.states->getProgress(b), (ProgressModel{300, 0.5}));  // the task's own
  manager().taskUploadComplete(ta, 100, 1);
  EXPECT_EQ(manager().completedProgress(), 0.25);
  EXPECT_EQ(host_.states->getState(a), S::uploaded);
  const auto published = host_.progress->values().size();
  manager().taskProgressUpdated(ta, 0.7);  // after its end: dropped
  EXPECT_EQ(host_.progress->values().size(), published);

  // A start, an error or a cancel counts again from the uploads in flight.
  manager().taskUploadStarted(tc);
  EXPECT_EQ(manager().completedProgress(), 0.0);
  EXPECT_EQ(manager().totalFileSize(), 500);
  manager().taskProgressUpdated(tc, 0.5);
  EXPECT_DOUBLE_EQ(host_.progress->values().back(), 0.5);
  const Error refusal = APIError::errors(ModelErrorResponse{{"No uploads left", "Sorry"}});
  manager().taskUploadError(tb, 300, refusal, 5);
  EXPECT_EQ(manager().totalFileSize(), 200);
  EXPECT_EQ(host_.states->getState(b), S::error);
  manager().taskCancelled(tc);
  EXPECT_EQ(manager().totalFileSize(), 0);
  EXPECT_EQ(host_.states->getState(c), S::cancelled);
  EXPECT_TRUE(manager().currentTasks().empty());
  EXPECT_EQ(host_.log->linesStartingWith("Current tasks count = ").size(), 8u);
  EXPECT_EQ(host_.log->linesStartingWith("Task cancelled = "),
            Strings{"Task cancelled = " + ShareManager::describe(*tc)});

  // The user hears of each end on the main queue, of a refusal in the service's words.
  EXPECT_TRUE(host_.notifications->notifications().empty() && host_.alerts->messages().empty());
  MainQueue::drain();
  EXPECT_EQ(host_.alerts->messages(),
            (Strings{"No uploads left\nSorry", refusal.localizedDescription()}));
  const auto notices = host_.notifications->notifications();
  ASSERT_EQ(notices.size(), 2u);
  EXPECT_TRUE(notices[0].kind == N::uploadCompleted() && notices[0].path == "/a.png");
  EXPECT_TRUE(notices[1].kind == N::uploadFailed("screenshot") && notices[1].path == "/b.png");
  EXPECT_TRUE(notices[0].onMainThread && notices[1].onMainThread);
}

TEST_F(ShareManagerTest, CancelFindsTheUploadByItsPathBelowDocuments) {
  Screenshot shot(file("a.png"));
  EXPECT_FALSE(manager().cancelScreenCaptureTask(shot));
  auto upload = task(shot, 64);
  upload->setDelegate(host_.manager);
  manager().taskUploadStarted(upload);
  const fs::path elsewhere = makeDocumentsFolder() / "a.png";
  writeBytes(elsewhere, randomBytes(8));
  EXPECT_TRUE(manager().cancelScreenCaptureTask(Screenshot(Url::fileURL(elsewhere))));
  EXPECT_TRUE(upload->isFinished());  // nothing was sent: it ends on this thread
  EXPECT_EQ(host_.states->getState(shot), S::cancelled);
  EXPECT_TRUE(manager().currentTasks().empty());
}

TEST_F(ShareManagerTest, ACaptureWithoutALinkIsReportedToTheDelegateAlone) {
  Screenshot missing(Url::fileURL(docs_ / "missing.png"));
  manager().share(missing);
  EXPECT_EQ(host_.observer->states(path(missing)), std::vector{S::error});
  settle(host_);
  APISettings::setServiceAddresses({addresses_.apiBaseUrl, "not a url"});
  install();
  GIF gif(file("a.gif"));
  manager().share(gif);
  EXPECT_EQ(host_.observer->states(path(gif)), std::vector{S::error});
  MainQueue::drain();
  EXPECT_EQ(host_.alerts->messages(), Strings{"Shareur Lis Absent"});  // the store's
  expectNothingShared();
}

TEST_F(ShareManagerTest, QuotasAreCheckedInOrderAndAFileAsLargeAsALimitPasses) {
  const std::tuple<std::int64_t, std::uint64_t, std::uint64_t, const char*> cases[] = {
      {0, 1u << 30, 1u << 30, "Daily Items Count Exceeded"},  // before any byte limit
      {5, 10, 10, "File Upload Quota Exceeded"},              // the size before the day's bytes
      {5, 10, 11, "Daily Upload Quota Exceeded"},
      {5, 1u << 30, 0, "File Upload Quota Exceeded"},  // a limit of 0 refuses any byte
      {1, 11, 11, nullptr},
  };
  for (const auto& [items, day, largest, refusal] : cases) {
    Screenshot shot(file(std::to_string(day) + std::to_string(largest) + ".png", 11));
    account()->setRemainingDailyItemsCount(items);
    account()->setRemainingDailyQuotaInBytes(day);
    Content::Limits::setMaxContentSize(largest);
    manager().share(shot);
    if (!refusal) break;
    EXPECT_EQ(host_.observer->states(path(shot)), std::vector{S::error}) << refusal;
    MainQueue::drain();
    EXPECT_EQ(host_.alerts->messages().back(), refusal);
    expectNothingShared();
  }
  EXPECT_EQ(host_.alerts->messages().size(), 4u);
  EXPECT_TRUE(waitUntil([&] { return !host_.queue->counts().empty(); }, 30s));
  EXPECT_NE(clipboard_.memoryText(), "sentinel");
}

TEST_F(ShareManagerTest, ReportsFromManyUploadThreadsAtOnceKeepTheBooks) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([this, shot = Screenshot(file(std::to_string(t)))] {
      for (int i = 0; i < 500; ++i) {
        auto upload = task(shot, 100);
        manager().taskUploadStarted(upload);
        manager().taskProgressUpdated(upload, 0.5);
        manager().taskUploadComplete(upload, 100, 1);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_TRUE(manager().currentTasks().empty());
  EXPECT_EQ(host_.log->linesStartingWith("Current tasks count = ").back(),
            "Current tasks count = 0");
}

TEST_F(ShareManagerTest, TheUploadQueueReportsEveryCountToAWeaklyHeldDelegate) {
  auto queue = std::make_shared<UploadQueue>();
  auto recorder = std::make_shared<QueueObserver>();
  auto add = [&] {
    auto task = std::make_shared<UploadTask>();  // sends nothing: runs until cancelled
    queue->addUploadTask(task);
    return task;
  };
  auto unheard = add();  // no delegate yet: dropped, and nothing stale comes later
  unheard->cancel();
  unheard->waitUntilFinished();
  auto running = add();
  ASSERT_TRUE(waitUntil([&] { return running->isExecuting(); }));
  queue->setDelegate(recorder);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 25; ++i) add()->cancel();  // before or after it started
    });
  }
  for (auto& thread : threads) thread.join();
  queue->addDeleteTask(
      std::make_shared<DeleteMultipleFilesTask>(std::vector<DeleteTaskComponents>{}));
  ASSERT_TRUE(waitUntil([&] { return recorder->counts().size() >= 402; }));
  std::int64_t previous = 1;  // the task still running
  for (std::int64_t count : recorder->counts()) {
    EXPECT_EQ(std::abs(count - previous), 1);  // one change at a time, in order
    previous = count;
  }
  EXPECT_EQ(previous, 1);
  std::weak_ptr<QueueObserver> weak = recorder;
  queue.reset();  // a queue gone with a task in it reports nothing more
  running->cancel();
  running->waitUntilFinished();
  EXPECT_EQ(recorder->counts().size(), 402u);
  recorder.reset();
  EXPECT_TRUE(weak.expired());
}

TEST(ScreencastTitleTest, DateInTheUsersZoneThenMinutesAndTwoDigitSeconds) {
  icu::TimeZone::adoptDefault(icu::TimeZone::createTimeZone("UTC"));
  using namespace std::chrono;
  const auto day = sys_days{2023y / January / 5} + 12h;
  for (const auto& [seconds, title] : {std::pair{125, "2023-01-05 - 2:05"},
                                       {600, "2023-01-05 - 10:00"},
                                       {3605, "2023-01-05 - 60:05"}}) {
    EXPECT_EQ(ShareManager::screencastTitle(day, seconds), std::string("Screencast - ") + title);
  }
  icu::TimeZone::adoptDefault(icu::TimeZone::createTimeZone("Pacific/Kiritimati"));
  EXPECT_EQ(ShareManager::screencastTitle(day, 0), "Screencast - 2023-01-06 - 0:00");
  icu::TimeZone::adoptDefault(icu::TimeZone::createTimeZone("UTC"));
}

// With the lumo host's thumbnailer: no thumbnail, no share.
TEST_F(ShareManagerTest, AScreencastIsSharedOnlyWithAThumbnailOfAVideoStillThere) {
  Screencast noise(file("noise.mp4"));
  manager().share(noise);
  ASSERT_TRUE(waitUntil([&] { return host_.observer->finalCount(path(noise)) == 1; }, 30s));
  EXPECT_EQ(host_.log->errors().at(0), Error(ShareServiceError::screencastThumbnailError));

  host_.thumbnails->hold = true;
  Screencast gone(file("gone.mp4"));
  manager().share(gone);
  ASSERT_EQ(host_.thumbnails->held().size(), 1u);
  fs::remove(gone.fileURL().filePath());
  host_.thumbnails->held()[0](PlatformImage::fromRGBA(4, 2, Bytes(32, 0x80)));
  ASSERT_TRUE(waitUntil([&] { return host_.observer->finalCount(path(gone)) == 1; }, 30s));
  EXPECT_TRUE(fs::exists(local(gone)));  // written before the link was asked for
  MainQueue::drain();
  EXPECT_EQ(host_.alerts->messages().back(), "Shareur Lis Absent");

  // A thumbnail that comes when the service is gone is dropped.
  manager().share(Screencast(file("late.mp4")));
  std::weak_ptr<ShareManager> service = std::exchange(host_.manager, nullptr);
  Resolver::reset();
  ASSERT_TRUE(waitUntil([&] { return service.expired(); }, 30s));  // other threads let go
  host_.thumbnails->held().back()(PlatformImage::fromRGBA(2, 2, Bytes(16, 0xFF)));
  MainQueue::drain();
  EXPECT_EQ(host_.observer->stateCount(), 2u);
  expectNothingShared();

  install(/*thumbnails=*/false);  // without a thumbnailer nothing happens at all
  manager().share(static_cast<const ScreenCapture&>(Screencast(file("late.mp4"))));
  EXPECT_EQ(host_.observer->stateCount(), 0u);
}

TEST_F(ShareManagerTest, AScreencastOverTheDaysQuotaWithItsThumbnailAndPageKeepsThem) {
  const fs::path video = docs_ / "Screen Cast.mp4";
  ASSERT_TRUE(makeVideo(video, 2)) << "ffmpeg could not make a video";
  account()->setRemainingDailyQuotaInBytes(fs::file_size(video));  // the video alone fits
  Screencast cast(Url::fileURL(video));
  manager().share(cast);
  ASSERT_TRUE(waitUntil([&] { return host_.observer->finalCount(path(cast)) == 1; }, 60s));
  MainQueue::drain();
  EXPECT_EQ(host_.alerts->messages(), Strings{"Daily Upload Quota Exceeded"});
  EXPECT_TRUE(fs::exists(local(cast)) && fs::exists(local(cast, /*page=*/true)));
  expectNothingShared();
}

}  // namespace
}  // namespace lumo::sharetest
