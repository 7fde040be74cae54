#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <string>

#include "lumo/api/APISettings.h"
#include "lumo/capture/GIF.h"
#include "lumo/capture/OtherItem.h"
#include "lumo/capture/Screencast.h"
#include "lumo/capture/Screenshot.h"
#include "lumo/registry/Resolver.h"
#include "lumo/sharing/ShareURLHelper.h"
#include "lumo/support/DispatchQueue.h"

namespace lumo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// MD5 of "a" and of "abc".
constexpr const char* kDigestOfA = "0cc175b9c0f1b6a831c399e269772661";
constexpr const char* kDigestOfAbc = "900150983cd24fb0d6963f7d28e17f72";

class ShareURLHelperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "lumo-share-urls-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
    useBaseAddress("https://cdn.example.com");
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(folder_, ec);
  }

  // The addresses are read when the settings are made, hence a new helper.
  void useBaseAddress(const std::string& domain) {
    APISettings::setServiceAddresses({"https://api.example.com", domain});
    Resolver::reset();
    Resolver::registerInMain<APISettingsService>([] { return std::make_shared<APISettings>(); });
    helper_ = std::make_shared<ShareURLHelper>();
  }

  Url file(const std::string& name, const std::string& contents) {
    fs::path path = folder_ / name;
    std::ofstream(path, std::ios::binary) << contents;
    return Url::fileURL(path);
  }

  fs::path folder_;
  std::shared_ptr<ShareURLHelper> helper_;
};

// Every kind is named by the MD5 of its bytes and its own extension; a screencast's page gets a
// "v" before the name and its thumbnail a ".png"; a base address's path is kept.
TEST_F(ShareURLHelperTest, EveryKindIsNamedByItsDigestAndExtension) {
  const std::string a = kDigestOfA, abc = kDigestOfAbc;
  Screencast cast(file("clip.mp4", "abc"));
  const std::pair<std::optional<Url>, std::string> cases[] = {
      {helper_->generateShareURL(cast), abc + ".mp4"},
      {helper_->generateHTMLShareURL(cast), "v" + abc + ".mp4"},
      {helper_->generateThumbnailShareURL(cast), abc + ".png"},
      {helper_->generateShareURL(GIF(file("a.gif", "a"))), a + ".gif"},
      {helper_->generateShareURL(Screenshot(file("Shot.JPG", "a"))), a + ".JPG"},
      {helper_->generateShareURL(OtherItem(file("archive.tar.gz", "a"))), a + ".gz"},
  };
  for (const auto& [url, name] : cases) {
    ASSERT_TRUE(url) << name;
    EXPECT_EQ(url->absoluteString(), "https://cdn.example.com/" + name);
  }
  useBaseAddress("https://cdn.example.com/shares/");
  Screencast mov(file("clip.mov", "a"));
  EXPECT_EQ(helper_->generateShareURL(mov)->absoluteString(),
            "https://cdn.example.com/shares/" + a + ".mov");
  EXPECT_EQ(helper_->generateThumbnailShareURL(mov)->absoluteString(),
            "https://cdn.example.com/shares/" + a + ".png");
}

TEST_F(ShareURLHelperTest, TrickyNamesGiveBackTheirRemoteNameFromTheURL) {
  const std::string names[] = {
      "Screen Shot 2023-01-05 at 3.04.05 PM.png",
      "we?ird#na%me.p?g#x",
      "été.jpég",
      "tab\tand space.a b",
      std::string("bytes\xff\xfe.b\xffn"),  // not UTF-8
  };
  for (const auto& name : names) {
    OtherItem item(file(name, "abc"));
    const std::string remoteName = std::string(kDigestOfAbc) + "." + item.fileExtension();
    for (const auto& [url, expectedName] :
         {std::pair{helper_->generateShareURL(item), remoteName},
          std::pair{helper_->generateHTMLShareURL(item), "v" + remoteName}}) {
      ASSERT_TRUE(url.has_value()) << name;
      // One path component under the base, no query or fragment, stable when parsed again.
      EXPECT_EQ(url->lastPathComponent(), expectedName) << name;
      EXPECT_EQ(url->deletingLastPathComponent().absoluteString(), "https://cdn.example.com/");
      EXPECT_EQ(url->query(), std::nullopt) << url->absoluteString();
      EXPECT_EQ(url->absoluteString().find('#'), std::string::npos) << url->absoluteString();
      EXPECT_EQ(Url::parse(url->absoluteString()), url);
    }
    EXPECT_EQ(helper_->generateThumbnailShareURL(item)->absoluteString(),
              std::string("https://cdn.example.com/") + kDigestOfAbc + ".png");
  }
}

TEST_F(ShareURLHelperTest, NoURLWithoutAReadableFileOrAUsableBase) {
  Screenshot missing(Url::fileURL(folder_ / "missing.png"));
  EXPECT_EQ(helper_->generateShareURL(missing), std::nullopt);
  EXPECT_EQ(helper_->generateHTMLShareURL(missing), std::nullopt);
  EXPECT_EQ(helper_->generateThumbnailShareURL(missing), std::nullopt);

  useBaseAddress("not a url");
  Screenshot shot(file("a.png", "a"));
  EXPECT_EQ(helper_->generateShareURL(shot), std::nullopt);
  EXPECT_EQ(helper_->generateHTMLShareURL(shot), std::nullopt);
  EXPECT_EQ(helper_->generateThumbnailShareURL(shot), std::nullopt);
}

TEST_F(ShareURLHelperTest, GetShareURLAnswersOnTheGivenQueue) {
  DispatchQueue queue("share-url-test");
  std::promise<std::pair<std::optional<Url>, bool>> answer;
  {
    GIF gif(file("a.gif", "a"));  // the caller's capture may go before the queue runs
    helper_->getShareURL(gif, queue, [&](std::optional<Url> url) {
      answer.set_value({std::move(url), queue.isCurrent()});
    });
  }
  auto future = answer.get_future();
  ASSERT_EQ(future.wait_for(10s), std::future_status::ready);
  auto [url, onQueue] = future.get();
  EXPECT_EQ(url->absoluteString(), std::string("https://cdn.example.com/") + kDigestOfA + ".gif");
  EXPECT_TRUE(onQueue);
}

TEST_F(ShareURLHelperTest, GetShareURLDoesNothingOnceTheHelperIsGone) {
  DispatchQueue queue("share-url-test");
  std::promise<void> gate;
  std::shared_future<void> opened = gate.get_future().share();
  queue.async([opened] { opened.wait(); });

  bool called = false;
  helper_->getShareURL(GIF(file("a.gif", "a")), queue, [&](std::optional<Url>) { called = true; });
  helper_.reset();
  gate.set_value();
  queue.sync([] {});
  EXPECT_FALSE(called);
}

}  // namespace
}  // namespace lumo
