// Sharing end to end against the reference service (`eval "$(scripts/devstack start)"`) under a
// real X clipboard (an Xvfb named by DISPLAY), with the library's own services registered as a
// host registers them: one user's session of every kind of capture, then uploads at the same
// time, cancelled and shared from several threads.

#include <gtest/gtest.h>

#include <thread>

#include "ShareTestHost.h"
#include "lumo/account/Content.h"
#include "lumo/account/UserAccountStore.h"
#include "lumo/capture/OtherItem.h"
#include "lumo/capture/ScreenCaptureHelperService.h"
#include "lumo/capture/ScreenCaptureUrl.h"
#include "lumo/capture/Screencast.h"
#include "lumo/capture/Screenshot.h"
#include "lumo/registry/Resolver.h"
#include "lumo/sharing/ShareURLHelperService.h"
#include "lumo/support/DispatchQueue.h"

namespace lumo::sharetest {
namespace {

using namespace std::chrono_literals;
using S = ShareState;
using N = UserNotificationKind;

std::string path(const ScreenCapture& capture) {
  return relativeScreenCapturePath(capture.fileURL());
}

// The content="..." of the page's line for `property`.
std::string meta(const std::string& page, const std::string& property) {
  const auto line = page.find("property=\"" + property + "\" content=\"");
  if (line == std::string::npos) return "(none)";
  const auto start = page.find("content=\"", line) + 9;
  return page.substr(start, page.find('"', start) - start);
}

class ShareEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string whyNot;
    dev_ = DevService::get(&whyNot);
    ASSERT_TRUE(dev_) << whyNot;
    Content::Limits::resetToDefaults();
    host_ = installHost({}, dev_->token);
    auto account = std::dynamic_pointer_cast<UserAccountStore>(
        Resolver::resolveFromRoot<UserAccountStoreService>());
    account->setRemainingDailyItemsCount(Content::Limits::kDefaultMaxDailyFilesCount);
    account->setRemainingDailyQuotaInBytes(Content::Limits::kDefaultMaxDailyFilesQuota);
    host_.observer->readClipboardAtStart = true;
    Clipboard::general().setText("sentinel");
    ASSERT_EQ(readClipboard(), "sentinel")
        << "no X clipboard at DISPLAY=" << (getenv("DISPLAY") ? getenv("DISPLAY") : "")
        << "; start one with: Xvfb :99 -nolisten tcp & export DISPLAY=:99";
  }
  void TearDown() override {
    if (!dev_) return;
    settle(host_);
    dev_->reset();
  }

  bool waitForFinal(const ScreenCapture& capture, std::size_t count = 1) {
    return waitUntil([&] { return host_.observer->finalCount(path(capture)) >= count; }, 120s);
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
  Screenshot shot(const std::string& name, std::size_t size) {
    writeBytes(docs_ / name, randomBytes(size));
    return Screenshot(Url::fileURL(docs_ / name));
  }

  const DevService* dev_ = nullptr;
  Host host_;
  fs::path docs_ = makeDocumentsFolder();
};

TEST_F(ShareEndToEndTest, EveryKindGoesUpIsRecordedCheckedAndDeleted) {
  auto urls = Resolver::resolveFromRoot<ShareURLHelperService>();
  auto helper = Resolver::resolveFromRoot<ScreenCaptureHelperService>();
  struct Kind {
    std::string file, kind, contentType;
    UserNotificationKind queued;
  };
  const Kind kinds[] = {
      {"Screen Shot 1.png", "Screenshot", "image/png", N::screenshotQueued()},
      {"Screen Shot 2.jpg", "Screenshot", "image/png", N::screenshotQueued()},  // always PNG
      {"Recording.gif", "Gif", "image/gif", N::gifQueued()},
      {"Report.pdf", "Other Item", "application/pdf", N::fileQueued()},
      {"Screen Cast.mp4", "Screencast", "video/mp4", N::screencastQueued()},
  };
  std::vector<std::unique_ptr<ScreenCapture>> captures;
  for (const auto& kind : kinds) {
    SCOPED_TRACE(kind.file);
    const fs::path file = docs_ / kind.file;
    if (kind.kind == "Other Item") {
      std::string tag;  // a new remote name on every run
      for (auto b : randomBytes(8)) tag += std::to_string(b);
      const std::string pdf =
          "%PDF-1.4\n%" + tag +
          "\n1 0 obj << /Type /Catalog >> endobj\ntrailer << /Root 1 0 R >>\n%%EOF\n";
      writeBytes(file, Bytes(pdf.begin(), pdf.end()));
    } else {
      ASSERT_TRUE(kind.kind == "Screencast" ? makeVideo(file, 3) : makeImage(file)) << "ffmpeg";
    }
    auto& capture = *captures.emplace_back(helper->screenCapture(Url::fileURL(file)));
    ASSERT_EQ(capture.typeName(), kind.kind);
    // A screencast's link is its page.
    const bool cast = kind.kind == "Screencast";
    const auto link = cast ? urls->generateHTMLShareURL(capture) : urls->generateShareURL(capture);
    host_.manager->share(capture);
    ASSERT_TRUE(waitForFinal(capture));
    EXPECT_EQ(host_.observer->states(path(capture)), (std::vector{S::uploading, S::uploaded}));
    EXPECT_EQ(host_.observer->clipboardAtStart(path(capture)), link->absoluteString());
    EXPECT_EQ(readClipboard(), link->absoluteString());
    MainQueue::drain();
    const auto notices = host_.notifications->notifications();
    ASSERT_GE(notices.size(), 2u);
    EXPECT_EQ(notices.rbegin()[1].kind, kind.queued);
    EXPECT_EQ(notices.back().kind, N::uploadCompleted());
    const Reply object = fetch("GET", urls->generateShareURL(capture)->absoluteString());
    EXPECT_EQ(object.status, 200);
    EXPECT_TRUE(object.body == readBytes(file));
    EXPECT_EQ(object.header("Content-Type"), kind.contentType);
  }

  // The screencast's page, written locally and uploaded, shows its thumbnail and video.
  const auto& cast = dynamic_cast<const Screencast&>(*captures.back());
  EXPECT_GT(host_.observer->progressCount(path(cast)), 0u);
  const Reply page = fetch("GET", urls->generateHTMLShareURL(cast)->absoluteString());
  EXPECT_EQ(page.header("Content-Type"), "text/html");
  EXPECT_TRUE(page.body == readBytes(helper->screencastHTMLURL(cast.fileURL())->filePath()));
  EXPECT_EQ(meta(page.text(), "og:title"), ShareManager::screencastTitle(*cast.date(), 3));
  EXPECT_EQ(meta(page.text(), "og:url"), urls->generateHTMLShareURL(cast)->absoluteString());
  EXPECT_EQ(meta(page.text(), "og:video:url"), urls->generateShareURL(cast)->absoluteString());
  EXPECT_EQ(meta(page.text(), "og:image:width") + meta(page.text(), "og:image:height"),
            "320.0240.0");
  const Reply thumbnail = fetch("GET", meta(page.text(), "og:image"));
  EXPECT_EQ(thumbnail.header("Content-Type"), "image/png");
  EXPECT_TRUE(thumbnail.body ==
              readBytes(helper->screencastThumbnailURL(cast.fileURL())->filePath()));
  const auto image = PlatformImage::fromData(thumbnail.body);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->size(), (PlatformImage::Size{320, 240}));

  // The states survive a restart of the store; remote checks agree, and answers other than
  // "there" or "missing" change nothing.
  host_.states->waitUntilSaved();
  auto restarted = std::make_shared<ShareStatesManager>();
  for (const auto& capture : captures) {
    EXPECT_EQ(restarted->getState(*capture), S::uploaded);
    EXPECT_EQ(check(*capture), S::uploaded);
  }
  restarted.reset();
  const auto& first = *captures.front();
  for (int status : {404, 500}) {
    ASSERT_TRUE(dev_->fault({{"route", "cdn"}, {"status", status}}));
    const auto before = host_.observer->states(path(first)).size();
    host_.manager->checkScreenCaptureRemoteState(first);
    ASSERT_TRUE(
        waitUntil([&] { return dev_->call("GET", "/__dev__/faults").json()["faults"].empty(); }));
    EXPECT_EQ(check(first), S::uploaded) << status;
    EXPECT_EQ(host_.observer->states(path(first)).size(), before + 1) << status;
  }

  // Deleted: every object of it is gone and checks say so.
  for (const auto& capture : captures) {
    const auto before = host_.observer->states(path(*capture)).size();
    host_.manager->deleteScreenCapture(*capture);
    ASSERT_TRUE(waitUntil([&] { return host_.observer->states(path(*capture)).size() > before; }));
    EXPECT_EQ(host_.states->getState(*capture), S::notUploaded);
    EXPECT_EQ(check(*capture), S::notUploaded);
  }
  for (const auto& link : {*urls->generateShareURL(cast), *urls->generateHTMLShareURL(cast),
                           *urls->generateThumbnailShareURL(cast)}) {
    EXPECT_EQ(fetch("HEAD", link.absoluteString()).status, 403) << link.absoluteString();
  }
}

TEST_F(ShareEndToEndTest, UploadsAtOnceAddUpCancelsStopThemAndThreadsMayShare) {
  // Two uploads held at their start so that both run at once: each weighs by its size.
  OtherItem big(Url::fileURL(docs_ / "big.bin")), small(Url::fileURL(docs_ / "small.bin"));
  writeBytes(docs_ / "big.bin", randomBytes(3 << 20));
  writeBytes(docs_ / "small.bin", randomBytes(1 << 20));
  ASSERT_TRUE(dev_->fault({{"route", "upload/start"}, {"delay_ms", 400}, {"count", 2}}));
  std::mutex mu;
  std::map<std::string, double> completedAtFinish;
  host_.observer->setOnState([&](const std::string& p, ShareState state) {
    std::lock_guard lock(mu);
    if (state == S::uploaded) completedAtFinish[p] = host_.manager->completedProgress();
  });
  host_.manager->share(big);
  host_.manager->share(small);
  ASSERT_TRUE(waitForFinal(big) && waitForFinal(small));
  host_.observer->setOnState(nullptr);
  EXPECT_EQ(host_.manager->totalFileSize(), 4 << 20);
  const bool smallFirst = completedAtFinish[path(small)] < completedAtFinish[path(big)];
  EXPECT_DOUBLE_EQ(completedAtFinish[path(smallFirst ? small : big)], smallFirst ? 0.25 : 0.75);
  EXPECT_DOUBLE_EQ(completedAtFinish[path(smallFirst ? big : small)], 1.0);
  const auto values = host_.progress->values();
  for (std::size_t i = 1; i < values.size(); ++i) {
    EXPECT_TRUE(values[i] >= values[i - 1] - 1e-12 && values[i] <= 1.0 + 1e-12) << i;
  }

  // Cancelled while held at its start, and while its body is being posted.
  OtherItem atStart(Url::fileURL(docs_ / "start.bin")), atPost(Url::fileURL(docs_ / "post.bin"));
  writeBytes(docs_ / "start.bin", randomBytes(64 << 10));
  writeBytes(docs_ / "post.bin", randomBytes(24 << 20));
  ASSERT_TRUE(dev_->fault({{"route", "upload/start"}, {"delay_ms", 3000}}));
  host_.manager->share(atStart);
  ASSERT_TRUE(waitUntil([&] { return !host_.observer->states(path(atStart)).empty(); }));
  EXPECT_TRUE(host_.manager->cancelScreenCaptureTask(atStart));
  ASSERT_TRUE(waitForFinal(atStart));
  EXPECT_EQ(host_.observer->states(path(atStart)), (std::vector{S::uploading, S::cancelled}));
  ASSERT_TRUE(dev_->fault({{"route", "storage"}, {"delay_ms", 5000}}));
  host_.manager->share(atPost);
  ASSERT_TRUE(waitUntil([&] { return host_.observer->progressCount(path(atPost)) > 0; }));
  EXPECT_TRUE(host_.manager->cancelScreenCaptureTask(atPost));
  ASSERT_TRUE(waitForFinal(atPost));
  EXPECT_EQ(host_.observer->states(path(atPost)), (std::vector{S::uploading, S::cancelled}));
  EXPECT_FALSE(host_.manager->cancelScreenCaptureTask(atPost));

  // Shared from several threads at once: each goes up once.
  host_.observer->readClipboardAtStart = false;
  std::vector<Screenshot> shots;
  for (int i = 0; i < 16; ++i)
    shots.push_back(shot("Shot " + std::to_string(i) + ".png", 1000 + i * 997));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (std::size_t i = t; i < shots.size(); i += 4) host_.manager->share(shots[i]);
    });
  }
  for (auto& thread : threads) thread.join();
  for (const auto& s : shots) {
    ASSERT_TRUE(waitForFinal(s));
    EXPECT_EQ(host_.observer->states(path(s)), (std::vector{S::uploading, S::uploaded})) << path(s);
  }
  ASSERT_TRUE(waitUntil([&] { return host_.queue->counts().back() == 0; }));
  EXPECT_TRUE(host_.manager->currentTasks().empty());
  EXPECT_EQ(host_.log->linesStartingWith("Task cancelled = ").size(), 2u);
}

}  // namespace
}  // namespace lumo::sharetest
