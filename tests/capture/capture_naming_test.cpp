#include <gtest/gtest.h>
#include <unicode/locid.h>
#include <unicode/timezone.h>

#include <random>
#include <thread>

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
using std::chrono::system_clock;

// ICU's default locale and zone, as the user would have them.
void setIcuDefaults(const char* locale, const char* zone) {
  UErrorCode status = U_ZERO_ERROR;
  icu::Locale::setDefault(icu::Locale(locale), status);
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

TEST_F(ScreenCaptureHelperTest, NamesAfterTheMomentOfCaptureWithWesternDigitsInAnyLocale) {
  // clang-format off
  for (const auto& [locale, zone, kind, type, seconds, name] : std::vector<std::tuple<const char*, const char*, const char*, const char*, time_t, std::string>>{
           {"en_US", "Asia/Tokyo", "Screen Shot", "png", 1672898645, "Screen Shot 2023-01-05 at 3.04.05 PM.png"},
           {"en_US", "Asia/Tokyo", "Screen Cast", "mp4", 1672877228, "Screen Cast 2023-01-05 at 9.07.08 AM.mp4"},
           {"en_US", "Asia/Tokyo", "X", "gif", 1672844400, "X 2023-01-05 at 12.00.00 AM.gif"},
           {"ar_EG", "America/Los_Angeles", "S", "png", 1672898645, "S 2023-01-04 at 10.04.05 PM.png"},
           {"de_DE", "America/Los_Angeles", "S", "png", 1672898645, "S 2023-01-04 at 10.04.05 PM.png"},
           {"ko_KR", "America/Los_Angeles", "S", "png", 1672898645, "S 2023-01-04 at 10.04.05 PM.png"}}) {
    // clang-format on
    setIcuDefaults(locale, zone);
    EXPECT_EQ(ScreenCaptureHelper().createCaptureLocalName(kind, type,
                                                           system_clock::from_time_t(seconds)),
              name)
        << locale;
  }
  // Now: the kind, the day, the time and the type.
  setIcuDefaults("en_US", "Asia/Tokyo");
  ScreenCaptureHelper helper_;
  const std::string shape = " ####-##-## at *.##.## ?M.";
  EXPECT_TRUE(matchesShape(helper_.createScreenshotLocalName(ImageFormat::png),
                           "Screen Shot" + shape + "png"));
  EXPECT_TRUE(matchesShape(helper_.createScreenshotLocalName(ImageFormat::jpeg),
                           "Screen Shot" + shape + "jpeg"));
  EXPECT_TRUE(matchesShape(helper_.createScreencastLocalName(), "Screen Cast" + shape + "mp4"));
}

TEST_F(ScreenCaptureHelperTest, ThumbnailAndPageGoToTheInternalFolderAndKindsGoByExtension) {
  ScreenCaptureHelper helper_;
  const Url cast = Url::fileURL("/anywhere/Screen Cast 2023-01-05 at 3.04.05 PM.mp4");
  EXPECT_EQ(helper_.screencastThumbnailURL(cast)->filePath(),
            dir_ / "data/lumo/Screen Cast 2023-01-05 at 3.04.05 PM.png");
  EXPECT_EQ(helper_.screencastHTMLURL(cast)->filePath(),
            dir_ / "data/lumo/Screen Cast 2023-01-05 at 3.04.05 PM.html");
  EXPECT_EQ(helper_.screencastThumbnailURL(Url::fileURL("/x/a.b.c.mov"))->lastPathComponent(),
            "a.b.c.png");
  EXPECT_EQ(helper_.screencastHTMLURL(Url::fileURL("/x/noext"))->lastPathComponent(), "noext.html");
  EXPECT_FALSE(fs::exists(dir_ / "data/lumo"));  // locations only
  // clang-format off
  for (const auto& [name, kind] : std::vector<std::pair<std::string, std::string>>{
           {"clip.MOV", "Screencast"}, {"clip.mp4", "Screencast"}, {"photo.JPG", "Screenshot"}, {"photo.jpg", "Screenshot"},
           {"photo.jpeg", "Screenshot"}, {"photo.png", "Screenshot"}, {"anim.Gif", "Gif"}, {"notes.txt", "Other Item"},
           {"no-extension", "Other Item"}, {"png", "Other Item"}, {"na\xffme with space.png", "Screenshot"}}) {
    // clang-format on
    const auto capture = helper_.screenCapture(Url::fileURL("/t/" + name));
    EXPECT_EQ(capture->typeName(), kind) << name;
    EXPECT_EQ(capture->fileURL(), Url::fileURL("/t/" + name));
  }
  EXPECT_FALSE(dynamic_cast<Screencast&>(*helper_.screenCapture(Url::fileURL("/t/c.mov")))
                   .thumbnailFileURL());
}

TEST(HashGenerator, MatchesMd5sumAroundBlockAndChunkBoundariesWhateverTheName) {
  EXPECT_EQ(HashGenerator::md5(std::vector<std::uint8_t>{'a', 'b', 'c'}),
            "900150983cd24fb0d6963f7d28e17f72");
  TempDir dir;
  std::mt19937_64 random(42);
  const std::string odd = "line\nbreak \"q\" 'q' \xff\xfe.dots.mp4";
  for (std::size_t size :
       {0UL, 55UL, 56UL, 64UL, 65UL, 1048575UL, 1048576UL, 1048577UL, 5UL * 1048576 + 3}) {
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    writeFile(dir / odd, bytes);
    const std::string expected = run("md5sum < " + shellQuote((dir / odd).native())).substr(0, 32);
    EXPECT_EQ(HashGenerator::hashValue(Url::fileURL(dir / odd)), expected) << size;
    EXPECT_EQ(HashGenerator::md5(std::string_view(bytes)), expected) << size;
  }
  fs::create_symlink(dir / odd, dir / "link");  // a link is hashed as what it points to
  EXPECT_EQ(HashGenerator::hashValue(Url::fileURL(dir / "link")),
            HashGenerator::hashValue(Url::fileURL(dir / odd)));
  ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
  fs::create_directory(dir / "folder");
  for (const char* name : {"missing", "folder", "pipe"}) {
    EXPECT_EQ(HashGenerator::hashValue(Url::fileURL(dir / name)), std::nullopt) << name;
  }
  EXPECT_EQ(HashGenerator::hashValue(*Url::parse("https://example.com/a.png")), std::nullopt);
}

TEST(UniqueNamesGenerator, AppendsSecondsSinceTheReferenceDateWrittenAsEveryDouble) {
  const auto reference = system_clock::from_time_t(978307200);  // 2001-01-01 00:00:00 UTC
  using std::chrono::microseconds;
  // clang-format off
  for (const auto& [path, offset, name] : std::vector<std::tuple<std::string, microseconds, std::string>>{
           {"/in/photo.png", microseconds(694224000500000), "photo_694224000.5.png"},
           {"/in/photo.png", microseconds(700000000000000), "photo_700000000.0.png"},
           {"/in/photo.png", microseconds(694224000123456), "photo_694224000.123456.png"},
           {"/in/photo.png", microseconds(10), "photo_1e-05.png"},  // as the log and the page write it
           {"/in/photo.png", microseconds(-2250000), "photo_-2.25.png"},
           {"/in/README", microseconds(1000000), "README_1.0."}, {"/in/a.tar.gz", microseconds(0), "a.tar_0.0.gz"}}) {
    // clang-format on
    EXPECT_EQ(
        UniqueNamesGenerator::uniqueLastPathComponentName(Url::fileURL(path), reference + offset),
        name);
  }
  const std::string name =
      UniqueNamesGenerator().uniqueLastPathComponentName(Url::fileURL("/in/photo.png"));
  ASSERT_TRUE(matchesShape(name, "photo_*.*.png")) << name;
  EXPECT_NEAR(std::stod(name.substr(6)),
              UniqueNamesGenerator::secondsSinceReferenceDate(system_clock::now()), 5.0);
}

TEST(Thread, RunOnMainThreadIsInlineOnTheMainThreadOnly) {
  std::atomic<bool> ranInline{false}, outerDone{false}, ran{false}, onMain{false};
  DispatchQueue::main().async([&] {
    bool inner = false;
    Thread::runOnMainThread([&] { inner = true; });
    ranInline = inner;
    outerDone = true;
  });
  ASSERT_TRUE(MainQueue::runUntil([&] { return outerDone.load(); }, std::chrono::seconds(30)));
  EXPECT_TRUE(ranInline);
  std::thread([&] {
    Thread::runOnMainThread([&] { onMain = DispatchQueue::isMainThread(), ran = true; });
  }).join();
  EXPECT_FALSE(ran);  // waits for the main queue
  ASSERT_TRUE(MainQueue::runUntil([&] { return ran.load(); }, std::chrono::seconds(30)));
  EXPECT_TRUE(onMain);
}

}  // namespace
}  // namespace lumo
