#include <gtest/gtest.h>
#include <unicode/locid.h>
#include <unicode/timezone.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "TestFiles.h"
#include "lumo/capture/GIF.h"
#include "lumo/capture/HashGenerator.h"
#include "lumo/capture/OtherItem.h"
#include "lumo/capture/ScreenCaptureHelper.h"
#include "lumo/capture/Screencast.h"
#include "lumo/capture/Screenshot.h"
#include "lumo/capture/Thread.h"
#include "lumo/capture/UniqueNamesGenerator.h"
#include "lumo/registry/Resolver.h"
#include "lumo/storage/DirectoriesManager.h"
#include "lumo/support/DispatchQueue.h"

namespace lumo {
namespace {

using namespace testing_files;
using Date = std::chrono::system_clock::time_point;

Date at(std::int64_t unixSeconds) {
  return std::chrono::system_clock::from_time_t(unixSeconds);
}

// ICU's default locale and zone, as the user would have them.
void setIcuDefaults(const char* locale, const char* zone) {
  UErrorCode status = U_ZERO_ERROR;
  icu::Locale::setDefault(icu::Locale(locale), status);
  ASSERT_TRUE(U_SUCCESS(status));
  icu::TimeZone::adoptDefault(icu::TimeZone::createTimeZone(zone));
}

class ScreenCaptureHelperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Resolver::reset();
    Resolver::registerInMain<DirectoriesService>(
        [] { return std::make_shared<DirectoriesManager>(); });
    setIcuDefaults("en_US", "Asia/Tokyo");
  }
  void TearDown() override { Resolver::reset(); }

  TempDir dir_;
  ScopedEnv data_{"XDG_DATA_HOME", (dir_ / "data").native()};
};

TEST_F(ScreenCaptureHelperTest, NamesAfterTheMomentOfCapture) {
  ScreenCaptureHelper helper;
  // 2023-01-05 15:04:05, 09:07:08 and 00:00:00 in Tokyo.
  EXPECT_EQ(helper.createCaptureLocalName("Screen Shot", "png", at(1672898645)),
            "Screen Shot 2023-01-05 at 3.04.05 PM.png");
  EXPECT_EQ(helper.createCaptureLocalName("Screen Cast", "mp4", at(1672877228)),
            "Screen Cast 2023-01-05 at 9.07.08 AM.mp4");
  EXPECT_EQ(helper.createCaptureLocalName("X", "gif", at(1672844400)),
            "X 2023-01-05 at 12.00.00 AM.gif");
}

TEST_F(ScreenCaptureHelperTest, WesternDigitsAndCapitalAmPmInAnyLocale) {
  for (const char* locale : {"ar_EG", "de_DE", "ko_KR", "en_GB"}) {
    setIcuDefaults(locale, "America/Los_Angeles");
    ScreenCaptureHelper helper;
    // 2023-01-04 22:04:05 in Los Angeles.
    EXPECT_EQ(helper.createCaptureLocalName("Screen Shot", "png", at(1672898645)),
              "Screen Shot 2023-01-04 at 10.04.05 PM.png")
        << locale;
  }
}

TEST_F(ScreenCaptureHelperTest, CurrentNamesCarryTheKindDayTimeAndType) {
  ScreenCaptureHelper helper;
  auto hasShape = [](const std::string& name, const std::string& prefix, const std::string& type) {
    for (const char* hour : {"#", "##"}) {
      for (const char* half : {"AM", "PM"}) {
        if (matchesShape(name, prefix + " ####-##-## at " + hour + ".##.## " + half + "." + type)) {
          return true;
        }
      }
    }
    return false;
  };
  EXPECT_TRUE(hasShape(helper.createScreenshotLocalName(ImageFormat::png), "Screen Shot", "png"));
  EXPECT_TRUE(hasShape(helper.createScreenshotLocalName(ImageFormat::jpeg), "Screen Shot", "jpeg"));
  EXPECT_TRUE(hasShape(helper.createScreencastLocalName(), "Screen Cast", "mp4"));
}

TEST_F(ScreenCaptureHelperTest, ThumbnailAndPageGoToTheInternalFolder) {
  ScreenCaptureHelper helper;
  const Url cast = Url::fileURL("/anywhere/Screen Cast 2023-01-05 at 3.04.05 PM.mp4");
  auto thumbnail = helper.screencastThumbnailURL(cast);
  auto page = helper.screencastHTMLURL(cast);
  ASSERT_TRUE(thumbnail);
  ASSERT_TRUE(page);
  EXPECT_EQ(thumbnail->filePath(), dir_ / "data/lumo/Screen Cast 2023-01-05 at 3.04.05 PM.png");
  EXPECT_EQ(page->filePath(), dir_ / "data/lumo/Screen Cast 2023-01-05 at 3.04.05 PM.html");
  EXPECT_EQ(helper.screencastThumbnailURL(Url::fileURL("/x/a.b.c.mov"))->lastPathComponent(),
            "a.b.c.png");
  EXPECT_EQ(helper.screencastHTMLURL(Url::fileURL("/x/noext"))->lastPathComponent(), "noext.html");
  EXPECT_FALSE(fs::exists(dir_ / "data/lumo"));  // locations only
}

TEST_F(ScreenCaptureHelperTest, KindByExtension) {
  ScreenCaptureHelper helper;
  auto kindOf = [&](const std::string& name) { return helper.screenCapture(Url::fileURL(name)); };
  EXPECT_NE(dynamic_cast<Screencast*>(kindOf("/t/clip.MOV").get()), nullptr);
  EXPECT_NE(dynamic_cast<Screencast*>(kindOf("/t/clip.mp4").get()), nullptr);
  EXPECT_NE(dynamic_cast<Screenshot*>(kindOf("/t/photo.JPG").get()), nullptr);
  EXPECT_NE(dynamic_cast<Screenshot*>(kindOf("/t/photo.jpeg").get()), nullptr);
  EXPECT_NE(dynamic_cast<Screenshot*>(kindOf("/t/photo.png").get()), nullptr);
  EXPECT_NE(dynamic_cast<GIF*>(kindOf("/t/anim.Gif").get()), nullptr);
  EXPECT_NE(dynamic_cast<OtherItem*>(kindOf("/t/notes.txt").get()), nullptr);
  EXPECT_NE(dynamic_cast<OtherItem*>(kindOf("/t/no-extension").get()), nullptr);
  EXPECT_NE(dynamic_cast<OtherItem*>(kindOf("/t/png").get()), nullptr);
  auto cast = kindOf("/t/clip.mov");
  EXPECT_FALSE(dynamic_cast<Screencast&>(*cast).thumbnailFileURL());
  const Url odd = Url::fileURL(std::string("/t/na\xffme with space.png"));
  EXPECT_EQ(helper.screenCapture(odd)->fileURL(), odd);
}

// The digest of the file's bytes as md5sum computes it.
std::string md5sumOf(const fs::path& path) {
  return run("md5sum < " + shellQuote(path.native())).substr(0, 32);
}

TEST(HashGenerator, MatchesMd5sumAroundBlockAndChunkBoundaries) {
  EXPECT_EQ(HashGenerator::md5(std::vector<std::uint8_t>{'a', 'b', 'c'}),
            "900150983cd24fb0d6963f7d28e17f72");
  TempDir dir;
  std::mt19937_64 random(42);
  for (std::size_t size : {0UL, 1UL, 55UL, 56UL, 63UL, 64UL, 65UL, 1048575UL, 1048576UL, 1048577UL,
                           2097152UL, 5UL * 1048576 + 3, 33UL * 1048576 + 17}) {
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    const fs::path path = dir / ("random-" + std::to_string(size));
    writeFile(path, bytes);
    const std::string expected = md5sumOf(path);
    EXPECT_EQ(HashGenerator::hashValue(Url::fileURL(path)), expected) << size;
    EXPECT_EQ(HashGenerator::md5(std::string_view(bytes)), expected) << size;
  }
}

TEST(HashGenerator, OddNamesAndItemsThatAreNotFiles) {
  TempDir dir;
  const std::string odd = std::string("line\nbreak \"q\" 'q' \xff\xfe.several.dots.mp4");
  writeFile(dir / odd, "content");
  EXPECT_EQ(HashGenerator::hashValue(Url::fileURL(dir / odd)), md5sumOf(dir / odd));
  fs::create_symlink(dir / odd, dir / "link");
  EXPECT_EQ(HashGenerator::hashValue(Url::fileURL(dir / "link")), md5sumOf(dir / odd));

  ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
  fs::create_directory(dir / "folder");
  for (const char* name : {"missing", "folder", "pipe"}) {
    EXPECT_EQ(HashGenerator::hashValue(Url::fileURL(dir / name)), std::nullopt) << name;
  }
  EXPECT_EQ(HashGenerator::hashValue(*Url::parse("https://example.com/a.png")), std::nullopt);
}

TEST(UniqueNamesGenerator, AppendsSecondsSinceTheReferenceDateWrittenAsEveryDouble) {
  constexpr std::int64_t kReference = 978307200;  // 2001-01-01 00:00:00 UTC
  const Url photo = Url::fileURL("/in/photo.png");
  using std::chrono::microseconds;
  for (const auto& [offset, name] :
       {std::pair{microseconds(694224000500000), "photo_694224000.5.png"},
        {microseconds(700000000000000), "photo_700000000.0.png"},
        {microseconds(694224000123456), "photo_694224000.123456.png"},
        {microseconds(10), "photo_1e-05.png"},  // as the log and the screencast page write it
        {microseconds(-2250000), "photo_-2.25.png"}}) {
    EXPECT_EQ(UniqueNamesGenerator::uniqueLastPathComponentName(photo, at(kReference) + offset),
              name);
  }
  EXPECT_EQ(UniqueNamesGenerator::uniqueLastPathComponentName(Url::fileURL("/in/README"),
                                                              at(kReference + 1)),
            "README_1.0.");
  EXPECT_EQ(UniqueNamesGenerator::uniqueLastPathComponentName(Url::fileURL("/in/a.tar.gz"),
                                                              at(kReference)),
            "a.tar_0.0.gz");

  UniqueNamesGenerator generator;
  const std::string name = generator.uniqueLastPathComponentName(photo);
  ASSERT_TRUE(matchesShape(name, "photo_*.*.png")) << name;
  const double now =
      UniqueNamesGenerator::secondsSinceReferenceDate(std::chrono::system_clock::now());
  EXPECT_NEAR(std::stod(name.substr(6)), now, 5.0);
}

TEST(Thread, RunOnMainThreadIsInlineOnTheMainThreadOnly) {
  std::atomic<bool> ranInline{false};
  std::atomic<bool> outerDone{false};
  DispatchQueue::main().async([&] {
    bool ran = false;
    Thread::runOnMainThread([&] { ran = true; });
    ranInline = ran;
    outerDone = true;
  });
  ASSERT_TRUE(MainQueue::runUntil([&] { return outerDone.load(); }, std::chrono::seconds(10)));
  EXPECT_TRUE(ranInline);

  std::atomic<bool> ran{false};
  std::atomic<bool> onMain{false};
  std::thread background([&] {
    Thread::runOnMainThread([&] {
      onMain = DispatchQueue::isMainThread();
      ran = true;
    });
  });
  background.join();
  EXPECT_FALSE(ran);  // waits for the main queue
  ASSERT_TRUE(MainQueue::runUntil([&] { return ran.load(); }, std::chrono::seconds(10)));
  EXPECT_TRUE(onMain);
}

}  // namespace
}  // namespace lumo
