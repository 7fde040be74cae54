// The share service's own bookkeeping, driven through its delegate interfaces with real tasks
// that are never started, and the refusals that come before any upload. No server is needed:
// uploads that do get queued fail at once for want of a token.

#include <gtest/gtest.h>
#include <unicode/timezone.h>

#include <thread>

#include "ShareTestHost.h"
#include "lumo/account/Content.h"
#include "lumo/account/UserAccountStore.h"
#include "lumo/api/APIError.h"
#include "lumo/api/APISettings.h"
#include "lumo/capture/GIF.h"
#include "lumo/capture/OtherItem.h"
#include "lumo/capture/ScreenCaptureHelperService.h"
#include "lumo/capture/ScreenCaptureUrl.h"
#include "lumo/capture/Screencast.h"
#include "lumo/capture/Screenshot.h"
#include "lumo/registry/Resolver.h"
#include "lumo/sharing/ShareServiceError.h"
#include "lumo/sharing/ShareURLHelperService.h"
#include "lumo/support/DispatchQueue.h"
#include "lumo/tasks/DeleteSingleCaptureTask.h"
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
using S = ShareState;
using Strings = std::vector<std::string>;

std::string path(const ScreenCapture& capture) {
  return relativeScreenCapturePath(capture.fileURL());
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
  // A task for `capture` that would upload `size` bytes; never started.
  static std::shared_ptr<UploadTask> task(const ScreenCapture& capture, std::int64_t size) {
    return std::make_shared<UploadSingleCaptureTask>(
        capture, UploadTaskComponents(capture.fileURL(), *Url::parse("https://cdn.example/x.png"),
                                      "image/png", size));
  }
  fs::path thumbnailFile(const Screencast& cast) const {
    return Resolver::resolveFromRoot<ScreenCaptureHelperService>()
        ->screencastThumbnailURL(cast.fileURL())
        ->filePath();
  }
  // Nothing reached the user but what the states store shows for an error: no link, no notice,
  // no upload.
  void expectNothingShared() {
    EXPECT_EQ(clipboard_.memoryText(), "sentinel");
    EXPECT_TRUE(host_.notifications->notifications().empty());
    EXPECT_TRUE(host_.queue->counts().empty());
  }

  ShareManager* manager() { return host_.manager.get(); }

  fs::path docs_ = makeDocumentsFolder();  // prepares the process first
  const ServiceAddresses addresses_ = APISettings::serviceAddresses();
  Clipboard clipboard_{Clipboard::Environment{}};  // memory only, never the desktop's
  Host host_;
};

TEST_F(ShareManagerTest, OverallProgressWeighsTheUploadsInFlightBySize) {
  Screenshot a(file("a.png")), b(file("b.png")), c(file("c.png"));
  auto ta = task(a, 100), tb = task(b, 300), tc = task(c, 200);
  manager()->taskUploadStarted(ta);
  manager()->taskUploadStarted(tb);
  EXPECT_EQ(manager()->totalFileSize(), 400);
  manager()->taskProgressUpdated(tb, 0.5);
  EXPECT_EQ(host_.progress->values().back(), 0.375);
  EXPECT_EQ(host_.states->getProgress(b), (ProgressModel{300, 0.5}));  // the task's own
  manager()->taskUploadComplete(ta, 100, 1);
  EXPECT_EQ(manager()->completedProgress(), 0.25);
  EXPECT_EQ(host_.states->getState(a), S::uploaded);
  const auto published = host_.progress->values().size();
  manager()->taskProgressUpdated(ta, 0.7);  // after its end: dropped
  EXPECT_EQ(host_.progress->values().size(), published);
  EXPECT_FALSE(host_.states->getProgress(a));

  // A start, an error or a cancel starts the overall progress again from the uploads in flight.
  manager()->taskUploadStarted(tc);
  EXPECT_EQ(manager()->completedProgress(), 0.0);
  EXPECT_EQ(manager()->totalFileSize(), 500);
  manager()->taskProgressUpdated(tc, 0.5);
  EXPECT_DOUBLE_EQ(host_.progress->values().back(), 0.5);
  manager()->taskUploadError(tb, 300, ShareServiceError::failedUpload, 5);
  EXPECT_EQ(manager()->totalFileSize(), 200);
  EXPECT_EQ(host_.states->getState(b), S::error);
  manager()->taskCancelled(tc);
  EXPECT_EQ(manager()->totalFileSize(), 0);
  EXPECT_EQ(host_.states->getState(c), S::cancelled);
  EXPECT_TRUE(manager()->currentTasks().empty());
  Strings counts;
  for (const auto& line : host_.log->linesStartingWith("Current tasks count = ")) {
    counts.push_back(line.substr(22));
  }
  EXPECT_EQ(counts, (Strings{"1", "2", "2", "1", "2", "2", "1", "0"}));
  EXPECT_EQ(host_.log->linesStartingWith("Task cancelled = "),
            Strings{"Task cancelled = " + ShareManager::describe(*tc)});
  EXPECT_TRUE(ShareManager::describe(*tc).starts_with("<UploadSingleCaptureTask: 0x"));

  // The user hears of the end of each, on the main queue.
  EXPECT_TRUE(host_.notifications->notifications().empty());
  MainQueue::drain();
  const auto notices = host_.notifications->notifications();
  ASSERT_EQ(notices.size(), 2u);
  EXPECT_TRUE(notices[0].kind == UserNotificationKind::uploadCompleted() &&
              notices[0].path == "/a.png");
  EXPECT_TRUE(notices[1].kind == UserNotificationKind::uploadFailed("screenshot") &&
              notices[1].path == "/b.png");
  EXPECT_TRUE(notices[0].onMainThread && notices[1].onMainThread);
}

TEST_F(ShareManagerTest, FailedUploadsAlertAndNotifyOnTheMainQueue) {
  const struct {
    std::unique_ptr<ScreenCapture> capture;
    Error error;
    Strings alerts;
    const char* item;
  } cases[] = {
      {std::make_unique<GIF>(file("a.gif")),
       APIError::errors(ModelErrorResponse{{"No uploads left", "Sorry"}}),
       {"No uploads left\nSorry"},
       "GIF"},
      {std::make_unique<OtherItem>(file("a.pdf")),
       ShareServiceError::failedUpload,
       {"Failed Upload"},
       "file"},
      {std::make_unique<Screencast>(file("a.mp4")),
       UploadScreencastTaskError::screencastThumbnailFileSizeUnknown,
       {},
       "screencast"},
      {std::make_unique<Screenshot>(file("a.png")),
       Error::transport(kURLErrorDomain, -1004, "Could not connect"),
       {},
       "screenshot"},
  };
  for (const auto& [capture, error, alerts, item] : cases) {
    SCOPED_TRACE(item);
    const auto before = host_.alerts->messages().size();
    manager()->taskUploadError(task(*capture, 10), 10, error, 1);
    EXPECT_EQ(host_.states->getState(*capture), S::error);  // at once
    EXPECT_EQ(host_.alerts->messages().size(), before);
    MainQueue::drain();
    // The states store adds its own alert with the error's description.
    Strings expected = alerts;
    expected.push_back(error.localizedDescription());
    const auto shown = host_.alerts->messages();
    EXPECT_EQ(Strings(shown.begin() + static_cast<long>(before), shown.end()), expected);
    const auto notice = host_.notifications->notifications().back();
    EXPECT_TRUE(notice.kind == UserNotificationKind::uploadFailed(item) && notice.onMainThread);
  }
}

TEST_F(ShareManagerTest, DeletesOfACaptureAreRecordedAndCancelFindsTheUploadByPath) {
  Screenshot shot(file("a.png"));
  auto remove =
      DeleteSingleCaptureTask::make(shot, *Resolver::resolveFromRoot<ShareURLHelperService>());
  ASSERT_TRUE(remove);
  const std::string name = ShareManager::describe(*remove);
  manager()->taskDeleteStarted(remove);
  manager()->taskDeleteError(remove, ShareServiceError::failedDeleteOperation);
  EXPECT_EQ(host_.states->getState(shot), S::unknown);
  manager()->taskDeleteComplete(remove);
  EXPECT_EQ(host_.states->getState(shot), S::notUploaded);
  EXPECT_EQ(host_.log->linesStartingWith("Delete task "),
            (Strings{"Delete task started = " + name,
                     "Delete task error = " + name + ". Error = Failed Delete Operation",
                     "Delete task completed = " + name}));

  EXPECT_FALSE(manager()->cancelScreenCaptureTask(shot));
  EXPECT_EQ(host_.log->linesStartingWith("Can't cancel task"),
            Strings{"Can't cancel task. No task with " + shot.fileURL().absoluteString()});
  auto upload = task(shot, 64);
  upload->setDelegate(host_.manager);
  manager()->taskUploadStarted(upload);
  const fs::path elsewhere = makeDocumentsFolder() / "a.png";  // the same path below Documents
  writeBytes(elsewhere, randomBytes(8));
  EXPECT_TRUE(manager()->cancelScreenCaptureTask(Screenshot(Url::fileURL(elsewhere))));
  EXPECT_TRUE(upload->isFinished());  // nothing was sent: it ends on this thread
  EXPECT_EQ(host_.states->getState(shot), S::cancelled);
  EXPECT_TRUE(manager()->currentTasks().empty());
}

TEST_F(ShareManagerTest, ACaptureThatCannotBeNamedOrIsOfAnUnknownKindGoesNowhere) {
  // A missing file, then no usable share base: only the delegate (the states store) hears.
  Screenshot missing(Url::fileURL(docs_ / "missing.png"));
  manager()->share(missing);
  EXPECT_EQ(host_.observer->states(path(missing)), std::vector{S::error});
  settle(host_);
  APISettings::setServiceAddresses({addresses_.apiBaseUrl, "not a url"});
  install();
  GIF gif(file("a.gif"));
  manager()->share(gif);
  EXPECT_EQ(host_.observer->states(path(gif)), std::vector{S::error});
  MainQueue::drain();
  EXPECT_EQ(host_.alerts->messages(), Strings{"Shareur Lis Absent"});
  expectNothingShared();

  LinkCapture link(file("a.webloc"));
  manager()->share(static_cast<const ScreenCapture&>(link));
  EXPECT_EQ(host_.log->linesStartingWith("Can't share "),
            Strings{"Can't share LinkCapture(fileURL: " + link.fileURL().absoluteString() +
                    "). Unknown item"});
  EXPECT_EQ(host_.observer->stateCount(), 1u);
  expectNothingShared();
}

TEST_F(ShareManagerTest, QuotasAreCheckedInOrderAndAFileAsLargeAsALimitPasses) {
  struct Case {
    std::int64_t items;
    std::uint64_t day, largest;
    const char* refusal;
  };
  const Case cases[] = {
      {0, 1u << 30, 1u << 30, "Daily Items Count Exceeded"},  // before any byte limit
      {5, 10, 10, "File Upload Quota Exceeded"},              // the size before the day's bytes
      {5, 10, 11, "Daily Upload Quota Exceeded"},
      {5, 1u << 30, 0, "File Upload Quota Exceeded"},  // a limit of 0 refuses any byte
      {1, 11, 11, nullptr},
  };
  for (const auto& c : cases) {
    Screenshot shot(file(std::to_string(&c - cases) + ".png", 11));
    account()->setRemainingDailyItemsCount(c.items);
    account()->setRemainingDailyQuotaInBytes(c.day);
    Content::Limits::setMaxContentSize(c.largest);
    manager()->share(shot);
    if (!c.refusal) break;
    EXPECT_EQ(host_.observer->states(path(shot)), std::vector{S::error}) << c.refusal;
    MainQueue::drain();
    EXPECT_EQ(host_.alerts->messages().back(), c.refusal);
    expectNothingShared();
  }
  EXPECT_EQ(host_.alerts->messages().size(), 4u);
  EXPECT_TRUE(waitUntil([&] { return !host_.queue->counts().empty(); }, 30s));
  EXPECT_NE(clipboard_.memoryText(), "sentinel");
  EXPECT_EQ(host_.log->linesStartingWith("File size: ").back(), "File size: 11");
  EXPECT_EQ(host_.log->linesStartingWith("Remaining daily quota: ").back(),
            "Remaining daily quota: 11");
}

TEST_F(ShareManagerTest, ProgressReportsFromManyUploadThreadsAddUp) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([this, t] {
      Screenshot shot(Url::fileURL(docs_ / ("t" + std::to_string(t) + ".png")));
      for (int i = 0; i < 500; ++i) {
        auto upload = task(shot, 100);
        manager()->taskUploadStarted(upload);
        manager()->taskProgressUpdated(upload, 0.5);
        manager()->taskUploadComplete(upload, 100, 1);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_TRUE(manager()->currentTasks().empty());
  EXPECT_EQ(host_.log->linesStartingWith("Current tasks count = ").back(),
            "Current tasks count = 0");
}

TEST(ScreencastTitleTest, DateInTheUsersZoneThenMinutesAndTwoDigitSeconds) {
  icu::TimeZone::adoptDefault(icu::TimeZone::createTimeZone("UTC"));
  using namespace std::chrono;
  const auto day = sys_days{2023y / January / 5} + 12h;
  for (const auto& [seconds, title] : {std::pair{125, "2023-01-05 - 2:05"},
                                       {59, "2023-01-05 - 0:59"},
                                       {600, "2023-01-05 - 10:00"},
                                       {3605, "2023-01-05 - 60:05"}}) {
    EXPECT_EQ(ShareManager::screencastTitle(day, seconds), std::string("Screencast - ") + title);
  }
  icu::TimeZone::adoptDefault(icu::TimeZone::createTimeZone("Pacific/Kiritimati"));
  EXPECT_EQ(ShareManager::screencastTitle(day, 0), "Screencast - 2023-01-06 - 0:00");
  icu::TimeZone::adoptDefault(icu::TimeZone::createTimeZone("UTC"));
}

// The screencast procedure up to the upload, with the lumo host's thumbnailer.
TEST_F(ShareManagerTest, AScreencastIsOnlySharedWithAThumbnailOfItsOwnVideo) {
  Screencast notAVideo(file("noise.mp4"));
  manager()->share(notAVideo);
  ASSERT_TRUE(waitUntil([&] { return host_.observer->finalCount(path(notAVideo)) == 1; }, 30s));
  ASSERT_FALSE(host_.log->errors().empty());
  EXPECT_EQ(host_.log->errors().front(), Error(ShareServiceError::screencastThumbnailError));

  // A video gone once its thumbnail is written gets no link.
  host_.thumbnails->hold = true;
  Screencast gone(file("gone.mp4"));
  manager()->share(gone);
  auto completion = host_.thumbnails->takeHeld();
  ASSERT_TRUE(completion);
  fs::remove(gone.fileURL().filePath());
  completion(PlatformImage::fromRGBA(4, 2, Bytes(32, 0x80)));
  ASSERT_TRUE(waitUntil([&] { return host_.observer->finalCount(path(gone)) == 1; }, 30s));
  EXPECT_TRUE(fs::exists(thumbnailFile(gone)));
  MainQueue::drain();
  EXPECT_EQ(host_.alerts->messages().back(), "Shareur Lis Absent");

  // A thumbnail that comes once the service is gone is dropped.
  Screencast late(file("late.mp4"));
  manager()->share(late);
  completion = host_.thumbnails->takeHeld();
  const fs::path lateThumbnail = thumbnailFile(late);
  std::weak_ptr<ShareManager> service = host_.manager;
  host_.manager.reset();
  Resolver::reset();
  ASSERT_TRUE(waitUntil([&] { return service.expired(); }, 30s));  // other threads let go
  completion(PlatformImage::fromRGBA(2, 2, Bytes(16, 0xFF)));
  EXPECT_FALSE(fs::exists(lateThumbnail));
  EXPECT_EQ(host_.observer->states(path(late)), std::vector<ShareState>{});
  host_.states->waitUntilSaved();
  expectNothingShared();

  // Without a thumbnail service nothing happens at all.
  install(/*thumbnails=*/false);
  manager()->share(static_cast<const ScreenCapture&>(late));
  EXPECT_EQ(host_.observer->stateCount(), 0u);
}

TEST_F(ShareManagerTest, AScreencastOverTheDaysQuotaWithItsThumbnailAndPageKeepsThem) {
  const fs::path video = docs_ / "Screen Cast.mp4";
  ASSERT_TRUE(makeVideo(video, 2)) << "ffmpeg could not make a video";
  account()->setRemainingDailyQuotaInBytes(fs::file_size(video));  // the video alone fits
  Screencast cast(Url::fileURL(video));
  manager()->share(cast);
  ASSERT_TRUE(waitUntil([&] { return host_.observer->finalCount(path(cast)) == 1; }, 60s));
  EXPECT_EQ(host_.observer->states(path(cast)), std::vector{S::error});
  MainQueue::drain();
  EXPECT_EQ(host_.alerts->messages(), Strings{"Daily Upload Quota Exceeded"});
  EXPECT_TRUE(fs::exists(thumbnailFile(cast)));
  EXPECT_TRUE(fs::exists(Resolver::resolveFromRoot<ScreenCaptureHelperService>()
                             ->screencastHTMLURL(cast.fileURL())
                             ->filePath()));
  expectNothingShared();
}

}  // namespace
}  // namespace lumo::sharetest
