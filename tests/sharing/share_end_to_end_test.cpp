// Sharing end to end against the reference service (`eval "$(scripts/devstack start)"`), with
// the library's own services registered as a host registers them, the X clipboard (an Xvfb)
// and files made by ffmpeg: screenshots, a GIF, a PDF and a real screencast go up, their
// states are recorded and survive a restart, the objects at their links are the local bytes,
// remote checks and deletes follow, and the quota, cancel and concurrency cases hold.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ShareTestHost.h"
#include "lumo/account/Content.h"
#include "lumo/account/ProfileUpdateService.h"
#include "lumo/account/UserAccountStore.h"
#include "lumo/capture/GIF.h"
#include "lumo/capture/OtherItem.h"
#include "lumo/capture/ScreenCaptureHelperService.h"
#include "lumo/capture/ScreenCaptureUrl.h"
#include "lumo/capture/Screencast.h"
#include "lumo/capture/Screenshot.h"
#include "lumo/capture/ShareResourceType.h"
#include "lumo/registry/Resolver.h"
#include "lumo/sharing/ShareURLHelperService.h"

namespace lumo::sharetest {
namespace {

using namespace std::chrono_literals;

std::string path(const ScreenCapture& capture) {
  return relativeScreenCapturePath(capture.fileURL());
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string::size_type start = 0;
  for (auto end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  lines.push_back(text.substr(start));
  return lines;
}

// The value of the content="..." attribute of a page line.
std::string contentOf(const std::string& line) {
  const auto start = line.find("content=\"");
  if (start == std::string::npos) return {};
  const auto end = line.find('"', start + 9);
  return line.substr(start + 9, end - start - 9);
}

class ShareEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string whyNot;
    dev_ = DevService::get(&whyNot);
    ASSERT_TRUE(dev_) << whyNot;
    Content::Limits::resetToDefaults();
    host_ = installHost({}, dev_->token);
    auto store = account();
    store->setRemainingDailyItemsCount(Content::Limits::kDefaultMaxDailyFilesCount);
    store->setRemainingDailyQuotaInBytes(Content::Limits::kDefaultMaxDailyFilesQuota);
    urls_ = Resolver::resolveFromRoot<ShareURLHelperService>();
    helper_ = Resolver::resolveFromRoot<ScreenCaptureHelperService>();
    docs_ = makeDocumentsFolder();
    host_.observer->readClipboardAtStart = true;
    setClipboard("sentinel");
  }

  void TearDown() override {
    if (!dev_) return;
    settle(host_);
    // Other test runs share the service: it is reset only after a test changed it.
    if (changedService_) dev_->reset();
    Content::Limits::resetToDefaults();
  }

  static void setClipboard(const std::string& text) {
    Clipboard::general().setText(text);
    ASSERT_EQ(readClipboard(), text)
        << "the X clipboard does not work (DISPLAY=" << getenv("DISPLAY") << ")";
  }

  std::shared_ptr<UserAccountStore> account() const {
    return std::dynamic_pointer_cast<UserAccountStore>(
        Resolver::resolveFromRoot<UserAccountStoreService>());
  }

  // Signs in with the "small" account and loads its profile with `values` overriding it.
  void useSmallAccount(const nlohmann::json& values) {
    const std::string token = dev_->tokens.at("small");
    changedService_ = true;
    ASSERT_TRUE(dev_->overrideAccount(token, values));
    account()->login(token);
    auto done = std::make_shared<std::atomic<int>>(0);
    Resolver::resolveFromRoot<ProfileUpdateService>()->updateProfileIfNeeded(
        [done](Result<ProfileResponse> profile) { *done = profile ? 1 : -1; });
    ASSERT_TRUE(waitUntil([&] { return *done != 0; }, 30s));
    ASSERT_EQ(*done, 1);
  }

  bool fault(const nlohmann::json& fault) {
    changedService_ = true;
    return dev_->fault(fault);
  }

  bool waitForFinal(const ScreenCapture& capture, std::chrono::milliseconds timeout = 120s) {
    return waitUntil([&] { return host_.observer->finalCount(path(capture)) >= 1; }, timeout);
  }

  // Runs a remote check and answers the state it reported.
  std::optional<ShareState> check(const ScreenCapture& capture) {
    const auto before = host_.observer->states(path(capture)).size();
    host_.manager->checkScreenCaptureRemoteState(capture);
    if (!waitUntil([&] { return host_.observer->states(path(capture)).size() > before; }, 30s)) {
      return std::nullopt;
    }
    return host_.observer->states(path(capture)).back();
  }

  std::size_t countOf(UserNotificationKind::Type type) const {
    std::size_t n = 0;
    for (const auto& notice : host_.notifications->notifications()) n += notice.kind.type == type;
    return n;
  }

  const DevService* dev_ = nullptr;
  bool changedService_ = false;  // faults queued or an account overridden
  Host host_;
  std::shared_ptr<ShareURLHelperService> urls_;
  std::shared_ptr<ScreenCaptureHelperService> helper_;
  fs::path docs_;
};

struct KindCase {
  std::string fileName;
  std::string kind;  // the capture kind the file is taken for
  std::string contentType;
  UserNotificationKind queued;
};

class ShareKindTest : public ShareEndToEndTest, public ::testing::WithParamInterface<KindCase> {};

TEST_P(ShareKindTest, UploadsRecordsChecksAndDeletes) {
  const KindCase& kind = GetParam();
  const fs::path file = docs_ / kind.fileName;
  if (file.extension() == ".pdf") {
    const Bytes tag = randomBytes(16);
    std::ostringstream pdf;
    pdf << "%PDF-1.4\n%";
    for (auto b : tag) pdf << std::hex << int(b);
    pdf << "\n1 0 obj << /Type /Catalog >> endobj\ntrailer << /Root 1 0 R >>\n%%EOF\n";
    const std::string text = pdf.str();
    writeBytes(file, Bytes(text.begin(), text.end()));
  } else {
    ASSERT_TRUE(makeImage(file)) << "ffmpeg could not make " << file;
  }
  auto capture = helper_->screenCapture(Url::fileURL(file));
  ASSERT_EQ(capture->typeName(), kind.kind);
  const auto link = urls_->generateShareURL(*capture);
  ASSERT_TRUE(link);

  host_.manager->share(*capture);
  ASSERT_TRUE(waitForFinal(*capture));

  // The link was on the clipboard when the upload started, and still is.
  EXPECT_EQ(host_.observer->clipboardAtStart(path(*capture)), link->absoluteString());
  EXPECT_EQ(readClipboard(), link->absoluteString());
  EXPECT_EQ(host_.observer->states(path(*capture)),
            (std::vector<ShareState>{ShareState::uploading, ShareState::uploaded}));
  MainQueue::drain();
  auto notices = host_.notifications->notifications();
  ASSERT_EQ(notices.size(), 2u);
  EXPECT_EQ(notices[0].kind, kind.queued);
  EXPECT_EQ(notices[1].kind, UserNotificationKind::uploadCompleted());

  // The state survives a restart of the store.
  host_.states->waitUntilSaved();
  EXPECT_EQ(std::make_shared<ShareStatesManager>()->getState(*capture), ShareState::uploaded);

  // The object at the link is the file, with the content type announced for its kind.
  Reply object = fetch("GET", link->absoluteString());
  ASSERT_FALSE(object.error) << object.error->localizedDescription();
  EXPECT_EQ(object.status, 200);
  EXPECT_TRUE(object.body == readBytes(file));
  EXPECT_EQ(object.header("Content-Type"), kind.contentType);

  EXPECT_EQ(check(*capture), ShareState::uploaded);
  const auto before = host_.observer->states(path(*capture)).size();
  host_.manager->deleteScreenCapture(*capture);
  ASSERT_TRUE(
      waitUntil([&] { return host_.observer->states(path(*capture)).size() > before; }, 30s));
  EXPECT_EQ(host_.observer->states(path(*capture)).back(), ShareState::notUploaded);
  EXPECT_EQ(host_.states->getState(*capture), ShareState::notUploaded);
  EXPECT_EQ(fetch("HEAD", link->absoluteString()).status, 403);
  EXPECT_EQ(check(*capture), ShareState::notUploaded);
}

INSTANTIATE_TEST_SUITE_P(Kinds, ShareKindTest,
                         ::testing::Values(KindCase{"Screen Shot 1.png", "Screenshot",
                                                    ShareResourceType::screenshot().contentType(),
                                                    UserNotificationKind::screenshotQueued()},
                                           // A screenshot is announced as PNG whatever its format.
                                           KindCase{"Screen Shot 2.jpg", "Screenshot", "image/png",
                                                    UserNotificationKind::screenshotQueued()},
                                           KindCase{"Recording.gif", "Gif", "image/gif",
                                                    UserNotificationKind::gifQueued()},
                                           KindCase{"Report.pdf", "Other Item", "application/pdf",
                                                    UserNotificationKind::fileQueued()}),
                         [](const auto& info) {
                           std::string name =
                               fs::path(info.param.fileName).extension().string().substr(1);
                           return name;
                         });

TEST_F(ShareEndToEndTest, AScreencastGoesUpAsVideoThumbnailAndPage) {
  const fs::path video = docs_ / "Screen Cast 1.mp4";
  ASSERT_TRUE(makeVideo(video, 3)) << "ffmpeg could not make a video";
  Screencast cast(Url::fileURL(video));
  ASSERT_EQ(cast.durationSeconds(), 3);
  const auto videoLink = urls_->generateShareURL(cast);
  const auto pageLink = urls_->generateHTMLShareURL(cast);
  const auto thumbnailLink = urls_->generateThumbnailShareURL(cast);
  ASSERT_TRUE(videoLink && pageLink && thumbnailLink);

  host_.manager->share(cast);
  ASSERT_TRUE(waitForFinal(cast));
  EXPECT_EQ(host_.observer->states(path(cast)),
            (std::vector<ShareState>{ShareState::uploading, ShareState::uploaded}));
  EXPECT_GT(host_.observer->progressCount(path(cast)), 0u);
  // The page, not the video, is the link the user gets, on the clipboard before the upload.
  EXPECT_EQ(host_.observer->clipboardAtStart(path(cast)), pageLink->absoluteString());
  EXPECT_EQ(readClipboard(), pageLink->absoluteString());
  MainQueue::drain();
  auto notices = host_.notifications->notifications();
  ASSERT_EQ(notices.size(), 2u);
  EXPECT_EQ(notices[0].kind, UserNotificationKind::screencastQueued());
  EXPECT_EQ(notices[1].kind, UserNotificationKind::uploadCompleted());

  // The thumbnail and the page were written to the internal folder.
  const fs::path thumbnailFile = helper_->screencastThumbnailURL(cast.fileURL())->filePath();
  const fs::path pageFile = helper_->screencastHTMLURL(cast.fileURL())->filePath();
  auto thumbnail = PlatformImage::fromData(readBytes(thumbnailFile));
  ASSERT_TRUE(thumbnail);
  EXPECT_EQ(thumbnail->format(), PlatformImage::Format::png);
  EXPECT_EQ(thumbnail->size(), (PlatformImage::Size{320, 240}));

  Reply page = fetch("GET", pageLink->absoluteString());
  ASSERT_EQ(page.status, 200);
  EXPECT_EQ(page.header("Content-Type"), "text/html");
  EXPECT_TRUE(page.body == readBytes(pageFile));
  const auto lines = splitLines(page.text());
  ASSERT_EQ(lines.size(), 36u);
  EXPECT_NE(page.text().back(), '\n');
  EXPECT_EQ(lines[7], "    <meta property=\"og:title\" content=\"" +
                          ShareManager::screencastTitle(*cast.date(), 3) + "\">");
  EXPECT_EQ(lines[7].find(" - 0:03\">"), lines[7].size() - 9);
  EXPECT_EQ(contentOf(lines[6]), pageLink->absoluteString());
  EXPECT_EQ(contentOf(lines[9]), thumbnailLink->absoluteString());
  EXPECT_EQ(contentOf(lines[10]), "320.0");
  EXPECT_EQ(contentOf(lines[11]), "240.0");
  EXPECT_EQ(contentOf(lines[13]), videoLink->absoluteString());

  // Every link of the page resolves to what was uploaded.
  Reply videoObject = fetch("GET", contentOf(lines[13]));
  EXPECT_EQ(videoObject.status, 200);
  EXPECT_EQ(videoObject.header("Content-Type"), "video/mp4");
  EXPECT_TRUE(videoObject.body == readBytes(video));
  Reply thumbnailObject = fetch("GET", contentOf(lines[9]));
  EXPECT_EQ(thumbnailObject.status, 200);
  EXPECT_EQ(thumbnailObject.header("Content-Type"), "image/png");
  EXPECT_TRUE(thumbnailObject.body == readBytes(thumbnailFile));
  EXPECT_EQ(fetch("GET", contentOf(lines[6])).status, 200);

  EXPECT_EQ(check(cast), ShareState::uploaded);
  const auto before = host_.observer->states(path(cast)).size();
  host_.manager->deleteScreenCapture(cast);
  ASSERT_TRUE(waitUntil([&] { return host_.observer->states(path(cast)).size() > before; }, 30s));
  EXPECT_EQ(host_.observer->states(path(cast)).back(), ShareState::notUploaded);
  for (const auto& link : {*videoLink, *thumbnailLink, *pageLink}) {
    EXPECT_EQ(fetch("HEAD", link.absoluteString()).status, 403) << link.absoluteString();
  }
  EXPECT_EQ(check(cast), ShareState::notUploaded);
}

TEST_F(ShareEndToEndTest, ARemoteCheckAnsweredOtherwiseChangesNothing) {
  Screenshot shot(Url::fileURL(docs_ / "a.png"));
  writeBytes(docs_ / "a.png", randomBytes(100));
  for (int status : {404, 500}) {
    ASSERT_TRUE(fault({{"route", "cdn"}, {"status", status}}));
    host_.manager->checkScreenCaptureRemoteState(shot);
    // The fault is used up when the check arrives; its answer then has time to come back.
    ASSERT_TRUE(waitUntil(
        [&] {
          auto faults = dev_->call("GET", "/__dev__/faults").json();
          return faults.is_object() && faults["faults"].empty();
        },
        30s));
    MainQueue::runFor(500ms);
    EXPECT_EQ(host_.observer->stateCount(), 0u) << status;
  }
  // Without a fault the missing object answers 403: not on the server.
  EXPECT_EQ(check(shot), ShareState::notUploaded);
}

TEST_F(ShareEndToEndTest, OverallProgressFollowsRealConcurrentUploads) {
  OtherItem big(Url::fileURL(docs_ / "big.bin")), small(Url::fileURL(docs_ / "small.bin"));
  writeBytes(docs_ / "big.bin", randomBytes(3 << 20));
  writeBytes(docs_ / "small.bin", randomBytes(1 << 20));
  // Both start before either can finish.
  ASSERT_TRUE(fault({{"route", "upload/start"}, {"delay_ms", 400}, {"count", 2}}));

  std::mutex mu;
  std::vector<std::pair<std::string, double>> completedAtFinish;
  host_.observer->setOnState([&](const std::string& p, ShareState state) {
    if (state != ShareState::uploaded) return;
    std::lock_guard lock(mu);
    completedAtFinish.emplace_back(p, host_.manager->completedProgress());
  });
  host_.manager->share(big);
  host_.manager->share(small);
  ASSERT_TRUE(waitForFinal(big) && waitForFinal(small));
  host_.observer->setOnState(nullptr);

  EXPECT_EQ(host_.manager->totalFileSize(), 4 << 20);
  EXPECT_NEAR(host_.manager->completedProgress(), 1.0, 1e-12);
  {
    std::lock_guard lock(mu);
    ASSERT_EQ(completedAtFinish.size(), 2u);
    const double firstShare = completedAtFinish[0].first == path(small) ? 0.25 : 0.75;
    EXPECT_NEAR(completedAtFinish[0].second, firstShare, 1e-12);
    EXPECT_NEAR(completedAtFinish[1].second, 1.0, 1e-12);
  }
  const auto values = host_.progress->values();
  ASSERT_FALSE(values.empty());
  for (std::size_t i = 0; i < values.size(); ++i) {
    EXPECT_GE(values[i], 0.0);
    EXPECT_LE(values[i], 1.0 + 1e-12);
    if (i > 0) {
      EXPECT_GE(values[i], values[i - 1] - 1e-12) << "at " << i;
    }
  }
}

TEST_F(ShareEndToEndTest, CancellingInFlightEndsCancelledAndEmptiesTheQueue) {
  // One upload held at "upload/start", one held while its body is being posted.
  OtherItem atStart(Url::fileURL(docs_ / "start.bin")), atPost(Url::fileURL(docs_ / "post.bin"));
  writeBytes(docs_ / "start.bin", randomBytes(64 << 10));
  writeBytes(docs_ / "post.bin", randomBytes(24 << 20));
  ASSERT_TRUE(fault({{"route", "upload/start"}, {"delay_ms", 3000}}));
  host_.manager->share(atStart);
  ASSERT_TRUE(waitUntil([&] { return !host_.observer->states(path(atStart)).empty(); }, 30s));
  EXPECT_TRUE(host_.manager->cancelScreenCaptureTask(atStart));
  ASSERT_TRUE(waitForFinal(atStart, 30s));
  EXPECT_EQ(host_.observer->states(path(atStart)),
            (std::vector<ShareState>{ShareState::uploading, ShareState::cancelled}));

  ASSERT_TRUE(fault({{"route", "storage"}, {"delay_ms", 5000}}));
  host_.manager->share(atPost);
  ASSERT_TRUE(waitUntil([&] { return host_.observer->progressCount(path(atPost)) > 0; }, 60s));
  EXPECT_TRUE(host_.manager->cancelScreenCaptureTask(atPost));
  ASSERT_TRUE(waitForFinal(atPost, 30s));
  EXPECT_EQ(host_.observer->states(path(atPost)).back(), ShareState::cancelled);
  EXPECT_EQ(host_.observer->finalCount(path(atPost)), 1u);

  ASSERT_TRUE(waitUntil([&] { return host_.queue->counts().back() == 0; }, 30s));
  EXPECT_TRUE(host_.manager->currentTasks().empty());
  EXPECT_EQ(host_.log->linesStartingWith("Task cancelled = ").size(), 2u);
  EXPECT_FALSE(host_.manager->cancelScreenCaptureTask(atPost));
}

TEST_F(ShareEndToEndTest, QuotaBoundsAreExact) {
  auto sizedFile = [&](const std::string& name, std::size_t size) {
    writeBytes(docs_ / name, randomBytes(size));
    return Screenshot(Url::fileURL(docs_ / name));
  };
  // Refused: the capture gets the error alone; nothing is copied, notified or queued.
  auto expectRefused = [&](const Screenshot& shot, const std::string& description) {
    const auto queued = host_.queue->counts().size();
    const auto notified = host_.notifications->notifications().size();
    const auto alerts = host_.alerts->messages().size();
    host_.manager->share(shot);
    EXPECT_EQ(host_.observer->states(path(shot)), std::vector<ShareState>{ShareState::error});
    MainQueue::drain();
    ASSERT_EQ(host_.alerts->messages().size(), alerts + 1);
    EXPECT_EQ(host_.alerts->messages().back(), description);
    EXPECT_EQ(host_.queue->counts().size(), queued);
    EXPECT_EQ(host_.notifications->notifications().size(), notified);
    EXPECT_EQ(readClipboard(), "sentinel");
  };
  auto expectUploaded = [&](const Screenshot& shot) {
    host_.manager->share(shot);
    ASSERT_TRUE(waitForFinal(shot));
    EXPECT_EQ(host_.observer->states(path(shot)).back(), ShareState::uploaded);
    MainQueue::drain();  // its "completed" notice
    setClipboard("sentinel");
  };

  useSmallAccount(
      {{"remaining_daily_items_count", 0}, {"remaining_daily_quota_in_bytes", 1 << 20}});
  EXPECT_EQ(account()->remainingDailyItemsCount(), 0);
  expectRefused(sizedFile("items.png", 10), "Daily Items Count Exceeded");

  useSmallAccount({{"remaining_daily_items_count", 3},
                   {"max_content_size", 4096},
                   {"remaining_daily_quota_in_bytes", 1 << 20}});
  EXPECT_EQ(Content::Limits::maxContentSize(), 4096u);
  expectUploaded(sizedFile("size-equal.png", 4096));
  expectRefused(sizedFile("size-over.png", 4097), "File Upload Quota Exceeded");

  useSmallAccount({{"remaining_daily_items_count", 3},
                   {"max_content_size", 1 << 20},
                   {"remaining_daily_quota_in_bytes", 5000}});
  EXPECT_EQ(account()->remainingDailyQuotaInBytes(), 5000u);
  expectUploaded(sizedFile("day-equal.png", 5000));
  expectRefused(sizedFile("day-over.png", 5001), "Daily Upload Quota Exceeded");
}

TEST_F(ShareEndToEndTest, AScreencastOverTheDaysQuotaKeepsItsThumbnailAndPage) {
  const fs::path video = docs_ / "Screen Cast 2.mp4";
  ASSERT_TRUE(makeVideo(video, 2));
  const auto videoSize = static_cast<std::int64_t>(fs::file_size(video));
  // The video alone fits; with its thumbnail and page it does not.
  useSmallAccount({{"remaining_daily_items_count", 3},
                   {"max_content_size", 1 << 20},
                   {"remaining_daily_quota_in_bytes", videoSize}});
  Screencast cast(Url::fileURL(video));
  host_.manager->share(cast);
  ASSERT_TRUE(waitForFinal(cast, 60s));
  EXPECT_EQ(host_.observer->states(path(cast)), std::vector<ShareState>{ShareState::error});
  MainQueue::drain();
  EXPECT_EQ(host_.alerts->messages(), std::vector<std::string>{"Daily Upload Quota Exceeded"});
  EXPECT_TRUE(fs::exists(helper_->screencastThumbnailURL(cast.fileURL())->filePath()));
  EXPECT_TRUE(fs::exists(helper_->screencastHTMLURL(cast.fileURL())->filePath()));
  EXPECT_TRUE(host_.queue->counts().empty());
  EXPECT_EQ(readClipboard(), "sentinel");
}

TEST_F(ShareEndToEndTest, FiftyCapturesSharedFromEightThreadsEachEndUploadedOnce) {
  constexpr int kCaptures = 50;
  constexpr int kThreads = 8;
  std::vector<Screenshot> shots;
  for (int i = 0; i < kCaptures; ++i) {
    const fs::path file = docs_ / ("Shot " + std::to_string(i) + ".png");
    writeBytes(file, randomBytes(1024 + static_cast<std::size_t>(i) * 997));
    shots.emplace_back(Url::fileURL(file));
  }
  host_.observer->readClipboardAtStart = false;

  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = t; i < kCaptures; i += kThreads) host_.manager->share(shots[i]);
    });
  }
  for (auto& thread : threads) thread.join();

  ASSERT_TRUE(waitUntil(
      [&] {
        return std::all_of(shots.begin(), shots.end(),
                           [&](const auto& s) { return host_.observer->finalCount(path(s)) >= 1; });
      },
      300s));
  ASSERT_TRUE(waitUntil([&] { return host_.queue->counts().back() == 0; }, 30s));
  MainQueue::runFor(200ms);
  for (const auto& shot : shots) {
    EXPECT_EQ(host_.observer->states(path(shot)),
              (std::vector<ShareState>{ShareState::uploading, ShareState::uploaded}))
        << path(shot);
  }
  EXPECT_TRUE(host_.manager->currentTasks().empty());
  EXPECT_EQ(countOf(UserNotificationKind::Type::screenshotQueued), std::size_t(kCaptures));
  EXPECT_EQ(countOf(UserNotificationKind::Type::uploadCompleted), std::size_t(kCaptures));
  EXPECT_EQ(host_.log->linesStartingWith("Current tasks count = ").back(),
            "Current tasks count = 0");
}

}  // namespace
}  // namespace lumo::sharetest
