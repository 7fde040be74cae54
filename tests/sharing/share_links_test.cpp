#include <gtest/gtest.h>

#include <future>

#include "../common/TestFiles.h"
#include "lumo/api/APISettings.h"
#include "lumo/capture/GIF.h"
#include "lumo/capture/OtherItem.h"
#include "lumo/capture/Screencast.h"
#include "lumo/capture/Screenshot.h"
#include "lumo/sharing/ScreencastHTMLHelper.h"
#include "lumo/sharing/ShareURLHelper.h"

namespace lumo {
namespace {

using namespace testing_files;
using Links = std::vector<std::string>;

const std::string kA = "0cc175b9c0f1b6a831c399e269772661";  // MD5 of "a"

// The share, page and thumbnail links of `capture` under the share base `base`; "-" for none.
Links links(const std::string& base, const ScreenCapture& capture) {
  APISettings::setServiceAddresses({"https://api.example.com", base});
  Resolver::reset();
  Resolver::registerInMain<APISettingsService>([] { return std::make_shared<APISettings>(); });
  ShareURLHelper helper;
  Links out;
  for (const auto& url : {helper.generateShareURL(capture), helper.generateHTMLShareURL(capture),
                          helper.generateThumbnailShareURL(capture)}) {
    out.push_back(url ? url->absoluteString() : "-");
  }
  return out;
}

// Named by the MD5 of the bytes and the file's own extension; a page gets a "v" before the name,
// a thumbnail ".png".
TEST(ShareURLHelper, LinksAreTheDigestAndExtensionUnderTheBase) {
  TempDir dir;
  auto file = [&](const std::string& name) {
    writeFile(dir / name, "a");
    return Url::fileURL(dir / name);
  };
  const std::string b = "https://cdn.example.com/", s = b + "shares/";
  EXPECT_EQ(links(b, Screencast(file("c.mp4"))),
            (Links{b + kA + ".mp4", b + "v" + kA + ".mp4", b + kA + ".png"}));
  EXPECT_EQ(links(b, Screenshot(file("Shot.JPG")))[0], b + kA + ".JPG");
  EXPECT_EQ(links(s, Screencast(file("c.mov"))),
            (Links{s + kA + ".mov", s + "v" + kA + ".mov", s + kA + ".png"}));
  EXPECT_EQ(links(b, Screenshot(Url::fileURL(dir / "missing.png"))), (Links{"-", "-", "-"}));
  EXPECT_EQ(links("not a url", Screenshot(file("a.png"))), (Links{"-", "-", "-"}));
  // A name that would leave the path stays one clean component.
  const auto tricky = links(b, OtherItem(file("we?ird#na%me.p?g#x")))[0];
  EXPECT_EQ(Url::parse(tricky)->lastPathComponent(), kA + ".p?g#x");
  EXPECT_EQ(tricky.find_first_of("?#"), std::string::npos) << tricky;

  // Asked on a queue, it answers there, and not at all once the helper is gone.
  DispatchQueue queue("share-url-test");
  std::promise<void> gate;
  queue.async([opened = gate.get_future().share()] { opened.wait(); });
  auto helper = std::make_shared<ShareURLHelper>();
  std::promise<std::string> answer;
  helper->getShareURL(GIF(file("a.gif")), queue, [&](std::optional<Url> url) {
    answer.set_value(queue.isCurrent() ? url->absoluteString() : "elsewhere");
  });
  std::make_shared<ShareURLHelper>()->getShareURL(GIF(file("a.gif")), queue,
                                                  [&](auto) { answer.set_value("gone"); });
  gate.set_value();
  EXPECT_EQ(answer.get_future().get(), "https://cdn.example.com/" + kA + ".gif");
  queue.sync([] {});
}

// Titles and links go in as they are, unescaped; sizes as the desktop writes doubles.
TEST(ScreencastHTMLHelper, WritesTitleLinksAndSizesAsTheyAre) {
  const auto url = [](const char* text) { return *Url::parse(text); };
  for (const auto& [value, text] : {std::pair{719.5, "719.5"},
                                    {1.0 / 3, "0.3333333333333333"},
                                    {1e15, "1000000000000000.0"},
                                    {1e-5, "1e-05"},
                                    {3e16, "3e+16"}}) {
    const std::string page = ScreencastHTMLHelper().createHTML(
        "a \"q\" <b> & é", url("https://h/v%20w.mp4"), url("https://h/t.png?a=1&b=2"),
        url("https://h/vv.mp4"), {value, 7});
    const std::string t = text;
    for (const std::string& line :
         Links{"og:image:width\" content=\"" + t, "og:video:width\" content=\"" + t,
               "og:image:height\" content=\"7.0\"", "og:video:height\" content=\"7.0\"",
               "og:title\" content=\"a \"q\" <b> & é\"", "og:url\" content=\"https://h/vv.mp4\"",
               "poster=\"https://h/t.png?a=1&b=2\"",
               "<source src=\"https://h/v%20w.mp4\" type='video/mp4'>"}) {
      EXPECT_NE(page.find(line), std::string::npos) << line;
    }
  }
}

}  // namespace
}  // namespace lumo
