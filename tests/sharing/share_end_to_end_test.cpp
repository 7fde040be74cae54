// Sharing end to end against the reference service (`eval "$(scripts/devstack start)"`) under a
// real X clipboard (DISPLAY), with the library's services registered as a host registers them:
// one user's session.

#include <gtest/gtest.h>

#include "ShareTestHost.h"
#include "lumo/capture/HashGenerator.h"

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

TEST(ShareEndToEnd, EveryKindGoesUpIsCheckedAndComesDown) {
  std::string whyNot;
  const DevService* dev = DevService::get(&whyNot);
  ASSERT_TRUE(dev) << whyNot;
  Host host = installHost({}, dev->token);  // a fresh process: the day's quota untouched
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
  auto check = [&](const ScreenCapture& capture) -> std::optional<ShareState> {
    const auto before = observer.states(path(capture)).size();
    host.manager->checkScreenCaptureRemoteState(capture);
    if (!waitUntil([&] { return observer.states(path(capture)).size() > before; }, 30s)) return {};
    return observer.states(path(capture)).back();
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
    const bool cast = name.ends_with(".mp4");  // the kind goes by the name
    ASSERT_TRUE(cast ? makeVideo(local, 3) : (writeBytes(local, randomBytes(4096)), true));
    auto& capture = *captures.emplace_back(helper->screenCapture(Url::fileURL(local)));
    // A screencast's link is its page.
    const auto link = cast ? urls->generateHTMLShareURL(capture) : urls->generateShareURL(capture);
    host.manager->share(capture);
    ASSERT_TRUE(waitUntil([&] { return observer.finalCount(path(capture)) >= 1; }, 120s));
    EXPECT_EQ(observer.states(path(capture)), (std::vector{S::uploading, S::uploaded}));
    EXPECT_EQ(observer.changes().rbegin()[1].clipboard, link->absoluteString());
    EXPECT_EQ(readClipboard(), link->absoluteString());
    MainQueue::drain();
    const auto notices = host.notifications->notifications();
    EXPECT_EQ(notices.at(notices.size() - 2).kind, queued);
    EXPECT_EQ(notices.back().kind, N::uploadCompleted());
    const Reply object = dev->call("GET", urls->generateShareURL(capture)->absoluteString());
    EXPECT_TRUE(object.body == readBytes(local));
    EXPECT_EQ(object.header("Content-Type"), contentType);
  }
  observer.readClipboardAtStart = false;

  // The screencast's page, as written and uploaded, shows its thumbnail (the lumo host's, of the
  // first frame) and its video.
  const auto& cast = dynamic_cast<const Screencast&>(*captures.back());
  EXPECT_GT(observer.progressCount(path(cast)), 0u);
  const std::string page =
      dev->call("GET", urls->generateHTMLShareURL(cast)->absoluteString()).text();
  EXPECT_TRUE(Bytes(page.begin(), page.end()) ==
              readBytes(helper->screencastHTMLURL(cast.fileURL())->filePath()));
  EXPECT_EQ(meta(page, "og:title"), ShareManager::screencastTitle(*cast.date(), 3));
  EXPECT_EQ(meta(page, "og:url"), urls->generateHTMLShareURL(cast)->absoluteString());
  EXPECT_EQ(meta(page, "og:video:url"), urls->generateShareURL(cast)->absoluteString());
  EXPECT_EQ(dev->call("GET", meta(page, "og:image")).header("Content-Type"), "image/png");
  EXPECT_EQ(meta(page, "og:image:width") + " " + meta(page, "og:image:height"), "320.0 240.0");

  // Remote checks agree; an answer other than "there" or "missing" changes nothing.
  for (const auto& capture : captures) EXPECT_EQ(check(*capture), S::uploaded);
  for (int status : {404, 500}) {
    ASSERT_TRUE(dev->fault({{"route", "cdn"}, {"status", status}}));
    host.manager->checkScreenCaptureRemoteState(*captures[0]);
    // Taken once no "cdn" fault is left (other suites may leave faults keyed to their files).
    ASSERT_TRUE(waitUntil([&] {
      const auto left = dev->call("GET", "/__dev__/faults").json()["faults"];
      return std::ranges::none_of(left, [](const auto& f) { return f["route"] == "cdn"; });
    }));
    const auto before = observer.states(path(*captures[0])).size();
    EXPECT_EQ(check(*captures[0]), S::uploaded) << status;
    EXPECT_EQ(observer.states(path(*captures[0])).size(), before + 1) << status;
  }

  // Deleted: every object of each is gone, and checks say so. The checks above read the files'
  // digests: the deletes and checks read none again.
  const auto reads = HashGenerator::cacheStatistics().misses;
  for (const auto& capture : captures) {
    const auto before = observer.states(path(*capture)).size();
    host.manager->deleteScreenCapture(*capture);
    ASSERT_TRUE(waitUntil([&] { return observer.states(path(*capture)).size() > before; }));
    EXPECT_EQ(observer.states(path(*capture)).back(), S::notUploaded);
    EXPECT_EQ(check(*capture), S::notUploaded);
  }
  for (const auto& link : {urls->generateShareURL(cast), urls->generateThumbnailShareURL(cast)}) {
    EXPECT_EQ(dev->call("HEAD", link->absoluteString()).status, 403) << link->absoluteString();
  }

  ASSERT_TRUE(waitUntil([&] { return host.queue->counts().back() == 0; }));
  EXPECT_TRUE(host.manager->currentTasks().empty());
  EXPECT_EQ(HashGenerator::cacheStatistics().misses, reads);
}

}  // namespace
}  // namespace lumo::sharetest
