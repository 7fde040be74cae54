#include <gtest/gtest.h>

#include <future>

#include "../capture/TestFiles.h"
#include "lumo/api/APISettings.h"
#include "lumo/capture/GIF.h"
#include "lumo/capture/OtherItem.h"
#include "lumo/capture/Screencast.h"
#include "lumo/capture/Screenshot.h"
#include "lumo/platform/Clipboard.h"
#include "lumo/registry/Resolver.h"
#include "lumo/sharing/PasteboardManager.h"
#include "lumo/sharing/ShareURLHelper.h"
#include "lumo/support/DispatchQueue.h"

namespace lumo {
namespace {

using namespace testing_files;
using namespace std::chrono_literals;

const std::string kA = "0cc175b9c0f1b6a831c399e269772661";    // MD5 of "a"
const std::string kAbc = "900150983cd24fb0d6963f7d28e17f72";  // MD5 of "abc"

class ShareURLHelperTest : public ::testing::Test {
 protected:
  void SetUp() override { useBase("https://cdn.example.com"); }
  // The addresses are read when the settings are made, hence a new helper.
  void useBase(const std::string& base) {
    APISettings::setServiceAddresses({"https://api.example.com", base});
    Resolver::reset();
    Resolver::registerInMain<APISettingsService>([] { return std::make_shared<APISettings>(); });
    helper_ = std::make_shared<ShareURLHelper>();
  }
  Url file(const std::string& name, const std::string& contents = "a") {
    writeFile(dir_ / name, contents);
    return Url::fileURL(dir_ / name);
  }
  // The share, page and thumbnail links, "-" for none.
  std::vector<std::string> links(const ScreenCapture& capture) {
    std::vector<std::string> out;
    for (const auto& url :
         {helper_->generateShareURL(capture), helper_->generateHTMLShareURL(capture),
          helper_->generateThumbnailShareURL(capture)}) {
      out.push_back(url ? url->absoluteString() : "-");
    }
    return out;
  }

  TempDir dir_;
  std::shared_ptr<ShareURLHelper> helper_;
};

// Named by the MD5 of the bytes and the file's own extension; a page gets a "v" before the name
// and a thumbnail ".png".
TEST_F(ShareURLHelperTest, LinksAreTheDigestAndExtensionUnderTheBase) {
  const std::string b = "https://cdn.example.com/";
  const struct {
    std::unique_ptr<ScreenCapture> capture;
    std::vector<std::string> links;
  } cases[] = {
      {std::make_unique<Screencast>(file("clip.mp4", "abc")),
       {b + kAbc + ".mp4", b + "v" + kAbc + ".mp4", b + kAbc + ".png"}},
      {std::make_unique<GIF>(file("a.gif")),
       {b + kA + ".gif", b + "v" + kA + ".gif", b + kA + ".png"}},
      {std::make_unique<Screenshot>(file("Shot.JPG")),
       {b + kA + ".JPG", b + "v" + kA + ".JPG", b + kA + ".png"}},
      {std::make_unique<OtherItem>(file("x.tar.gz")),
       {b + kA + ".gz", b + "v" + kA + ".gz", b + kA + ".png"}},
      {std::make_unique<Screenshot>(Url::fileURL(dir_ / "missing.png")), {"-", "-", "-"}},
  };
  for (const auto& [capture, expected] : cases) {
    EXPECT_EQ(links(*capture), expected) << capture->fileURL().absoluteString();
  }
  useBase("https://cdn.example.com/shares/");  // the base's path is kept
  const std::string s = b + "shares/";
  EXPECT_EQ(links(Screencast(file("c.mov"))),
            (std::vector<std::string>{s + kA + ".mov", s + "v" + kA + ".mov", s + kA + ".png"}));
  useBase("not a url");
  EXPECT_EQ(links(Screenshot(file("a.png"))), (std::vector<std::string>{"-", "-", "-"}));
}

TEST_F(ShareURLHelperTest, TrickyNamesGiveOneCleanPathComponent) {
  for (const std::string name : {"we?ird#na%me.p?g#x", "tab\tand space.a b", "bytes\xff.b\xffn"}) {
    OtherItem item(file(name, "abc"));
    for (const auto& url :
         {*helper_->generateShareURL(item), *helper_->generateHTMLShareURL(item)}) {
      EXPECT_TRUE(url.lastPathComponent().ends_with(kAbc + "." + item.fileExtension())) << name;
      EXPECT_EQ(url.deletingLastPathComponent().absoluteString(), "https://cdn.example.com/");
      EXPECT_EQ(url.query(), std::nullopt) << url.absoluteString();
      EXPECT_EQ(url.absoluteString().find('#'), std::string::npos) << url.absoluteString();
      EXPECT_EQ(Url::parse(url.absoluteString()), url);
    }
  }
}

TEST_F(ShareURLHelperTest, GetShareURLAnswersOnTheGivenQueueAndNotOnceTheHelperIsGone) {
  DispatchQueue queue("share-url-test");
  std::promise<std::string> answer;
  helper_->getShareURL(GIF(file("a.gif")), queue, [&](std::optional<Url> url) {
    answer.set_value(queue.isCurrent() ? url->absoluteString() : "elsewhere");
  });
  auto future = answer.get_future();
  ASSERT_EQ(future.wait_for(30s), std::future_status::ready);
  EXPECT_EQ(future.get(), "https://cdn.example.com/" + kA + ".gif");

  std::promise<void> gate;
  queue.async([opened = gate.get_future().share()] { opened.wait(); });
  bool called = false;
  helper_->getShareURL(GIF(file("a.gif")), queue, [&](std::optional<Url>) { called = true; });
  helper_.reset();
  gate.set_value();
  queue.sync([] {});
  EXPECT_FALSE(called);
}

TEST(PasteboardManager, PutsTheLinkOnTheClipboardAndAlwaysSaysSo) {
  Clipboard clipboard({"", "", ""});  // no display: the clipboard keeps the text itself
  PasteboardManager pasteboard(clipboard);
  EXPECT_TRUE(pasteboard.copyToPasteBoard(*Url::parse("https://cdn.example.com/a b.png")));
  EXPECT_EQ(clipboard.memoryText(), "https://cdn.example.com/a%20b.png");
}

}  // namespace
}  // namespace lumo
