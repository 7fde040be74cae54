// Sharing end to end against the reference service (`eval "$(scripts/devstack start)"`) under a
// real X clipboard (DISPLAY), with the library's services registered as a host registers them:
// one user's session.

#include <gtest/gtest.h>

#include <thread>

#include "ShareTestHost.h"
#include "lumo/account/Content.h"
#include "lumo/account/UserAccountStore.h"
#include "lumo/capture/OtherItem.h"
#include "lumo/capture/ScreenCaptureHelperService.h"
#include "lumo/capture/Screencast.h"
#include "lumo/registry/Resolver.h"
#include "lumo/sharing/ShareURLHelperService.h"

namespace lumo::sharetest {
namespace {

using namespace std::chrono_literals;
using S = ShareState;
using N = UserNotificationKind;

std::string path(const ScreenCapture& capture) {
  return relativeScreenCapturePath(capture.fileURL());
}

// The content="..." of the page's meta line for `property`.
std::string meta(const std::string& page, const std::string& property) {
  const auto start = page.find("content=\"", page.find("\"" + property + "\"")) + 9;
  return page.substr(start, page.find('"', start) - start);
}

TEST(ShareEndToEnd, EveryKindGoesUpIsCheckedAndComesDownAndThreadsMayShareAtOnce) {
  std::string whyNot;
  const DevService* dev = DevService::get(&whyNot);
  ASSERT_TRUE(dev) << whyNot;
  Content::Limits::resetToDefaults();
  Host host = installHost({}, dev->token);
  auto account = std::dynamic_pointer_cast<UserAccountStore>(
      Resolver::resolveFromRoot<UserAccountStoreService>());
  account->setRemainingDailyItemsCount(Content::Limits::kDefaultMaxDailyFilesCount);
  account->setRemainingDailyQuotaInBytes(Content::Limits::kDefaultMaxDailyFilesQuota);
  auto urls = Resolver::resolveFromRoot<ShareURLHelperService>();
  auto helper = Resolver::resolveFromRoot<ScreenCaptureHelperService>();
  const fs::path docs = makeDocumentsFolder();
  Clipboard::general().setText("sentinel");
  ASSERT_EQ(readClipboard(), "sentinel") << "no X clipboard at DISPLAY; start one: "
                                            "Xvfb :99 -nolisten tcp & export DISPLAY=:99";
  struct Settle {
    Host& host;
    const DevService* dev;
    ~Settle() { settle(host), dev->reset(); }
  } settleAtEnd{host, dev};
  auto& observer = *host.observer;
  auto final = [&](const ScreenCapture& capture) {
    return waitUntil([&] { return observer.finalCount(path(capture)) >= 1; }, 120s);
  };
  auto check = [&](const ScreenCapture& capture) -> std::optional<ShareState> {
    const auto before = observer.states(path(capture)).size();
    host.manager->checkScreenCaptureRemoteState(capture);
    if (!waitUntil([&] { return observer.states(path(capture)).size() > before; }, 30s)) return {};
    return observer.states(path(capture)).back();
  };
  auto file = [&](const std::string& name, std::size_t size) {
    writeBytes(docs / name, randomBytes(size));
    return Url::fileURL(docs / name);
  };

  // Every kind, one after the other: the link is on the clipboard before the upload starts, the
  // object at it is the file, and the user hears of both ends.
  const std::tuple<std::string, std::string, N> kinds[] = {
      {"Screen Shot.png", "image/png", N::screenshotQueued()},
      {"Screen Shot.jpg", "image/png", N::screenshotQueued()},  // announced as PNG whatever it is
      {"Recording.gif", "image/gif", N::gifQueued()},
      {"Report.pdf", "application/pdf", N::fileQueued()},
      {"Screen Cast.mp4", "video/mp4", N::screencastQueued()},
  };
  std::vector<std::unique_ptr<ScreenCapture>> captures;
  observer.readClipboardAtStart = true;
  for (const auto& [name, contentType, queued] : kinds) {
    SCOPED_TRACE(name);
    const fs::path local = docs / name;
    if (name.ends_with(".mp4")) {
      ASSERT_TRUE(makeVideo(local, 3)) << "ffmpeg could not make a video";
    } else {
      file(name, 4096);  // the kind goes by the name
    }
    auto& capture = *captures.emplace_back(helper->screenCapture(Url::fileURL(local)));
    const bool cast = name.ends_with(".mp4");  // a screencast's link is its page
    const auto link = cast ? urls->generateHTMLShareURL(capture) : urls->generateShareURL(capture);
    host.manager->share(capture);
    ASSERT_TRUE(final(capture));
    EXPECT_EQ(observer.states(path(capture)), (std::vector{S::uploading, S::uploaded}));
    EXPECT_EQ(observer.changes().at(observer.stateCount() - 2).clipboard, link->absoluteString());
    EXPECT_EQ(readClipboard(), link->absoluteString());
    MainQueue::drain();
    const auto notices = host.notifications->notifications();
    EXPECT_EQ(notices.at(notices.size() - 2).kind, queued);
    EXPECT_EQ(notices.back().kind, N::uploadCompleted());
    const Reply object = fetch("GET", urls->generateShareURL(capture)->absoluteString());
    EXPECT_TRUE(object.body == readBytes(local));
    EXPECT_EQ(object.header("Content-Type"), contentType);
  }
  observer.readClipboardAtStart = false;

  // The screencast's page, as written and uploaded, shows its thumbnail (the lumo host's, of the
  // first frame) and its video.
  const auto& cast = dynamic_cast<const Screencast&>(*captures.back());
  EXPECT_GT(observer.progressCount(path(cast)), 0u);
  const std::string page = fetch("GET", urls->generateHTMLShareURL(cast)->absoluteString()).text();
  EXPECT_TRUE(Bytes(page.begin(), page.end()) ==
              readBytes(helper->screencastHTMLURL(cast.fileURL())->filePath()));
  EXPECT_EQ(meta(page, "og:title"), ShareManager::screencastTitle(*cast.date(), 3));
  EXPECT_EQ(meta(page, "og:url"), urls->generateHTMLShareURL(cast)->absoluteString());
  EXPECT_EQ(meta(page, "og:video:url"), urls->generateShareURL(cast)->absoluteString());
  const auto thumbnail = PlatformImage::fromData(fetch("GET", meta(page, "og:image")).body);
  ASSERT_TRUE(thumbnail);
  EXPECT_EQ(thumbnail->size(), (PlatformImage::Size{320, 240}));
  EXPECT_EQ(meta(page, "og:image:width") + " " + meta(page, "og:image:height"), "320.0 240.0");

  // Remote checks agree; an answer other than "there" or "missing" changes nothing.
  for (const auto& capture : captures) EXPECT_EQ(check(*capture), S::uploaded);
  for (int status : {404, 500}) {
    ASSERT_TRUE(dev->fault({{"route", "cdn"}, {"status", status}}));
    host.manager->checkScreenCaptureRemoteState(*captures[0]);
    ASSERT_TRUE(
        waitUntil([&] { return dev->call("GET", "/__dev__/faults").json()["faults"].empty(); }));
    const auto before = observer.states(path(*captures[0])).size();
    EXPECT_EQ(check(*captures[0]), S::uploaded) << status;
    EXPECT_EQ(observer.states(path(*captures[0])).size(), before + 1) << status;
  }

  // Deleted: every object of each is gone, and checks say so.
  for (const auto& capture : captures) {
    const auto before = observer.states(path(*capture)).size();
    host.manager->deleteScreenCapture(*capture);
    ASSERT_TRUE(waitUntil([&] { return observer.states(path(*capture)).size() > before; }));
    EXPECT_EQ(observer.states(path(*capture)).back(), S::notUploaded);
    EXPECT_EQ(check(*capture), S::notUploaded);
  }
  for (const auto& link : {urls->generateShareURL(cast), urls->generateThumbnailShareURL(cast)}) {
    EXPECT_EQ(fetch("HEAD", link->absoluteString()).status, 403) << link->absoluteString();
  }

  // Shared from several threads at once: each goes up once.
  std::vector<Screenshot> shots;
  for (int i = 0; i < 12; ++i) shots.emplace_back(file(std::to_string(i) + ".png", 1000 + i * 997));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (std::size_t i = t; i < shots.size(); i += 4) host.manager->share(shots[i]);
    });
  }
  for (auto& thread : threads) thread.join();
  for (const auto& s : shots) {
    ASSERT_TRUE(final(s));
    EXPECT_EQ(observer.states(path(s)), (std::vector{S::uploading, S::uploaded})) << path(s);
  }
  ASSERT_TRUE(waitUntil([&] { return host.queue->counts().back() == 0; }));
  EXPECT_TRUE(host.manager->currentTasks().empty());
}

}  // namespace
}  // namespace lumo::sharetest
