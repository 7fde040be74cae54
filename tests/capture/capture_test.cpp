#include <gtest/gtest.h>
#include <unicode/locid.h>
#include <unicode/timezone.h>

#include <random>
#include <thread>

#include "../common/TestFiles.h"
#include "lumo/capture/CamelCaseToWords.h"
#include "lumo/capture/GIF.h"
#include "lumo/capture/HashGenerator.h"
#include "lumo/capture/OtherItem.h"
#include "lumo/capture/ScreenCaptureHelper.h"
#include "lumo/capture/ScreenCaptureUrl.h"
#include "lumo/capture/Screencast.h"
#include "lumo/capture/Screenshot.h"
#include "lumo/capture/ShareResourceType.h"
#include "lumo/capture/SharedDateFormatter.h"
#include "lumo/capture/Thread.h"
#include "lumo/capture/UniqueNamesGenerator.h"
#include "lumo/registry/Resolver.h"
#include "lumo/storage/DirectoriesManager.h"
#include "lumo/support/DispatchQueue.h"

namespace lumo {
namespace {

using namespace testing_files;
using std::chrono::system_clock;
using Pairs = std::vector<std::pair<std::string, std::string>>;

// ICU's default locale and zone, as the user would have them.
void setIcuDefaults(const char* locale, const char* zone) {
  UErrorCode status = U_ZERO_ERROR;
  icu::Locale::setDefault(icu::Locale(locale), status);
  icu::TimeZone::adoptDefault(icu::TimeZone::createTimeZone(zone));
}

// The shared date formatter takes ICU's defaults on first use: fix them before any test runs.
// Tokyo has no daylight saving time, so "a day ago" is always yesterday.
[[maybe_unused]] const bool kIcuDefaults = (setIcuDefaults("en_US", "Asia/Tokyo"), true);

TEST(ScreenCapture, KindsClonesAndExtensions) {
  const Url url = Url::fileURL("/tmp/x");
  // A clone is of the same kind, with the same fields.
  EXPECT_EQ(Screenshot(url).clone()->typeName() + GIF(url).clone()->typeName() +
                OtherItem(url).clone()->typeName(),
            "ScreenshotGifOther Item");
  Screencast cast(Url::fileURL("/tmp/a.mp4"));
  cast.setThumbnailFileURL(Url::fileURL("/tmp/a.png"));
  const auto copy = cast.clone();
  ASSERT_EQ(copy->typeName() + copy->fileURL().path(), "Screencast/tmp/a.mp4");
  EXPECT_EQ(dynamic_cast<Screencast&>(*copy).thumbnailFileURL(), Url::fileURL("/tmp/a.png"));
  // The extension is the text after the last dot of the path.
  // clang-format off
  for (const auto& [path, extension] : Pairs{{"/tmp/a.tar.gz", "gz"}, {"/tmp/noext", "/tmp/noext"}, {"/tmp/d.d/noext", "d/noext"}, {"/tmp/trailing.", ""}})
    EXPECT_EQ(OtherItem(Url::fileURL(path)).fileExtension(), extension) << path;
  // clang-format on
}

// Size, date and digest are read from the file afresh on every access.
TEST(ScreenCapture, FileValues) {
  TempDir dir;
  writeFile(dir / "abc.gif", "abc");
  fs::create_directory(dir / "folder.png");
  const GIF abc(Url::fileURL(dir / "abc.gif"));
  EXPECT_EQ(abc.formattedDate().rfind("Today", 0), 0u) << abc.formattedDate();
  setModificationTime(dir / "abc.gif", 1672898645);  // 2023-01-05 15:04:05 in Tokyo
  // Medium date, short time; CLDR puts a narrow no-break space before "PM".
  EXPECT_EQ(
      std::tuple(abc.fileSize().value(), abc.hashValue().value(),
                 system_clock::to_time_t(abc.date().value()), abc.formattedDate()),
      std::tuple(3, "900150983cd24fb0d6963f7d28e17f72", 1672898645, "Jan 5, 2023, 3:04\u202fPM"));
  setModificationTime(dir / "abc.gif", std::time(nullptr) - 24 * 3600);
  EXPECT_EQ(abc.formattedDate().rfind("Yesterday", 0), 0u) << abc.formattedDate();
  writeFile(dir / "abc.gif", "abcd");
  EXPECT_EQ(abc.fileSize(), 4);
  for (const char* name : {"missing.png", "folder.png"}) {
    const Screenshot bad(Url::fileURL(dir / name));
    EXPECT_FALSE(bad.fileSize() || bad.hashValue()) << name;
    EXPECT_EQ(bad.date().has_value(), name[0] == 'f') << bad.formattedDate();
  }
  std::vector<std::thread> threads;  // the shared formatter, from many threads at once
  std::atomic<int> same{0};
  for (int i = 0; i < 4; ++i)
    threads.emplace_back([&] {
      for (int j = 0; j < 20; ++j)
        same += SharedDateFormatter::shared().string(system_clock::from_time_t(1672898645)) ==
                "Jan 5, 2023, 3:04\u202fPM";
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(same, 80);
}

TEST(ScreenCapture, ScreencastDurationAndThumbnailSize) {
  TempDir dir;
  // 2.96 s, truncated; unreadable files have none (the media tests try many kinds).
  run("ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=64x48:rate=25 -t 2.96 -c:v libx264 "
      "-preset ultrafast -pix_fmt yuv420p " +
      shellQuote((dir / "cast.mov").native()));
  Screencast cast(Url::fileURL(dir / "cast.mov"));
  writeFile(dir / "noise.mp4", std::string(5000, '\x42'));
  const auto noise = Screencast(Url::fileURL(dir / "noise.mp4")).durationSeconds();
  EXPECT_EQ(std::tuple(cast.durationSeconds(), noise, cast.thumbnailFileSize()),
            std::tuple(2, 0, std::nullopt));
  cast.setThumbnailFileURL(Url::fileURL(dir / "thumb.png"));
  EXPECT_EQ(cast.thumbnailFileSize(), std::nullopt);  // not there yet
  writeFile(dir / "thumb.png", std::string(1234, 'p'));
  EXPECT_EQ(cast.thumbnailFileSize(), 1234);
}

TEST(ScreenCapture, RelativePathsQueryParametersAndWords) {
  // clang-format off
  for (const auto& [path, relative] : Pairs{{"/Users/me/Documents/Screen Shot.png", "/Screen Shot.png"},
           {"/a/Documents/b/Documents/c/d.png", "/c/d.png"}, {"/home/me/x.png", "/home/me/x.png"}, {"/home/MyDocumentsX/a.png", "X/a.png"}})
    EXPECT_EQ(relativeScreenCapturePath(Url::fileURL(path)), relative) << path;
  using Map = std::map<std::string, std::string>;
  for (const auto& [query, parameters] : std::vector<std::pair<std::string, std::optional<Map>>>{
           {"?x=1&x=2", Map{{"x", "2"}}}, {"?x&x=1&y=a%20b", Map{{"x", "1"}, {"y", "a b"}}}, {"?x=1&x", Map{}}, {"", std::nullopt}})
    EXPECT_EQ(queryParameters(*Url::parse("https://h/p" + query)), parameters) << query;
  for (const auto& [name, words] : Pairs{{"OtherItem", "Other Item"}, {"screenShot", "Screen Shot"}, {"HTMLPage", "Html Page"},
           {"  lower case \n", "Lower Case"}, {"\u00c9coleNormale", "\u00c9cole Normale"}, {"", ""}})
    EXPECT_EQ(camelCaseToWords(name), words) << name;
  // clang-format on
}

TEST(ShareResourceType, ContentTypesProgressAndEquality) {
  using T = ShareResourceType;
  // clang-format off
  for (const auto& [type, described] : std::vector<std::pair<T, std::string>>{
           {T::screenshot(), "image/png progress"}, {T::screencastThumbnail(), "image/png"}, {T::gif(), "image/gif progress"},
           {T::screencastVideo(), "video/mp4 progress"}, {T::screencastHTML(), "text/html"}, {T::other("pdf"), "application/pdf progress"},
           {T::other(""), "application/octet-stream progress"}, {T::other(" pdf"), "application/octet-stream progress"}})
    EXPECT_EQ(type.contentType() + (type.showProgress() ? " progress" : ""), described);
  // clang-format on
  EXPECT_EQ(T::MIMEType("pdf").value_or("-") + T::MIMEType("").value_or("-") +
                T::MIMEType("no-such-ext").value_or("-"),
            "application/pdf--");
  EXPECT_TRUE(T::other("pdf") == T::other("pdf") && T::other("pdf") != T::other("PDF") &&
              T::other("") != T::screenshot() && T::screenshot() != T::screencastThumbnail());
}

class ScreenCaptureHelperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Resolver::reset();
    Resolver::registerInMain<DirectoriesService>(
        [] { return std::make_shared<DirectoriesManager>(); });
  }
  void TearDown() override { Resolver::reset(); }

  TempDir dir_;
  ScopedEnv data_{"XDG_DATA_HOME", (dir_ / "data").native()};
};

TEST_F(ScreenCaptureHelperTest, NamesAfterTheMomentOfCaptureWithWesternDigitsInAnyLocale) {
  // The last row puts back the defaults the other tests expect.
  // clang-format off
  for (const auto& [locale, zone, kind, type, seconds, name] : std::vector<std::tuple<const char*, const char*, const char*, const char*, time_t, std::string>>{
           {"ar_EG", "America/Los_Angeles", "S", "png", 1672898645, "S 2023-01-04 at 10.04.05 PM.png"},
           {"ko_KR", "America/Los_Angeles", "S", "png", 1672898645, "S 2023-01-04 at 10.04.05 PM.png"},
           {"en_US", "Asia/Tokyo", "Screen Cast", "mp4", 1672877228, "Screen Cast 2023-01-05 at 9.07.08 AM.mp4"},
           {"en_US", "Asia/Tokyo", "X", "gif", 1672844400, "X 2023-01-05 at 12.00.00 AM.gif"},
           {"en_US", "Asia/Tokyo", "Screen Shot", "png", 1672898645, "Screen Shot 2023-01-05 at 3.04.05 PM.png"}}) {
    setIcuDefaults(locale, zone);
    EXPECT_EQ(ScreenCaptureHelper().createCaptureLocalName(kind, type, system_clock::from_time_t(seconds)), name) << locale;
  }
  // clang-format on
  ScreenCaptureHelper helper;
  // Now: the kind, the day, the time, the type.
  const std::string shape = " ####-##-## at *.##.## ?M.";
  for (const auto& [name, expected] :
       Pairs{{helper.createScreenshotLocalName(ImageFormat::png), "Screen Shot" + shape + "png"},
             {helper.createScreenshotLocalName(ImageFormat::jpeg), "Screen Shot" + shape + "jpeg"},
             {helper.createScreencastLocalName(), "Screen Cast" + shape + "mp4"}})
    EXPECT_TRUE(matchesShape(name, expected)) << name;
}

TEST_F(ScreenCaptureHelperTest, ThumbnailAndPageGoToTheInternalFolderAndKindsGoByExtension) {
  ScreenCaptureHelper helper;
  const Url cast = Url::fileURL("/anywhere/Screen Cast 2023-01-05 at 3.04.05 PM.mp4");
  const std::string base = (dir_ / "data/lumo/Screen Cast 2023-01-05 at 3.04.05 PM").native();
  EXPECT_EQ(helper.screencastThumbnailURL(cast)->filePath(), base + ".png");
  EXPECT_EQ(helper.screencastHTMLURL(cast)->filePath(), base + ".html");
  EXPECT_EQ(helper.screencastThumbnailURL(Url::fileURL("/x/a.b.c.mov"))->lastPathComponent() +
                helper.screencastHTMLURL(Url::fileURL("/x/noext"))->lastPathComponent(),
            "a.b.c.pngnoext.html");
  EXPECT_FALSE(fs::exists(dir_ / "data/lumo"));  // locations only
  std::string kinds;
  for (const std::string name : {"clip.MOV", "clip.mp4", "photo.JPG", "photo.jpg", "photo.jpeg",
                                 "na\xffme.png", "anim.Gif", "notes.txt", "noext", "png"}) {
    const auto capture = helper.screenCapture(Url::fileURL("/t/" + name));
    kinds += capture->typeName() +
             (capture->fileURL() == Url::fileURL("/t/" + name) ? ", " : " elsewhere, ");
  }
  EXPECT_EQ(kinds,
            "Screencast, Screencast, Screenshot, Screenshot, Screenshot, Screenshot, Gif, Other "
            "Item, Other Item, Other Item, ");
  EXPECT_FALSE(dynamic_cast<Screencast&>(*helper.screenCapture(Url::fileURL("/t/c.mov")))
                   .thumbnailFileURL());
}

TEST(HashGenerator, MatchesMd5sumAroundBlockAndChunkBoundariesWhateverTheName) {
  TempDir dir;
  std::mt19937_64 random(42);
  const fs::path odd = dir / "line\nbreak \"q\" 'q' \xff\xfe.dots.mp4";
  fs::create_symlink(odd, dir / "link");  // a link is hashed as what it points to
  for (std::size_t size :
       {0UL, 55UL, 56UL, 64UL, 65UL, 1048575UL, 1048576UL, 1048577UL, 5UL * 1048576 + 3}) {
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    writeFile(odd, bytes);
    const std::string expected = run("md5sum < " + shellQuote(odd.native())).substr(0, 32);
    EXPECT_EQ(std::tuple(HashGenerator::hashValue(Url::fileURL(odd)),
                         HashGenerator::md5(std::string_view(bytes)),
                         HashGenerator::hashValue(Url::fileURL(dir / "link"))),
              std::tuple(expected, expected, expected))
        << size;
  }
  ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
  fs::create_directory(dir / "folder");
  for (const Url& url : {Url::fileURL(dir / "missing"), Url::fileURL(dir / "folder"),
                         Url::fileURL(dir / "pipe"), *Url::parse("https://example.com/a.png")})
    EXPECT_EQ(HashGenerator::hashValue(url), std::nullopt) << url.absoluteString();
}

// The cache reads a file again once its size, modification time or inode changed, and not
// before, unless its time is too recent to tell; it keeps the files asked last.
TEST(HashGenerator, CachedDigestIsReadAgainOnceTheFileChanged) {
  TempDir dir;
  const fs::path path = dir / "cast.mp4";
  // What is written (in place, or as another file moved in), its modification time (seconds,
  // nanoseconds); the text whose digest comes back, and the reads.
  const std::tuple<const char*, bool, time_t, long, const char*, int> steps[] = {
      {"abc", false, 1000, 5, "abc", 1},   {nullptr, false, 1000, 5, "abc", 0},
      {"xyz", false, 1000, 5, "abc", 0},  // same size and time: taken as the same file
      {nullptr, false, 1000, 6, "xyz", 1}, {"abc", false, 2000, 6, "abc", 1},
      {"abcd", false, 2000, 6, "abcd", 1}, {"efgh", true, 2000, 6, "efgh", 1}};
  for (const auto& [bytes, moved, seconds, nanoseconds, expected, reads] : steps) {
    const fs::path target = moved ? dir / "new" : path;
    if (bytes) writeFile(target, bytes);
    setModificationTime(target, seconds, nanoseconds);
    if (moved) fs::rename(target, path);
    const auto before = HashGenerator::cacheStatistics().misses;
    EXPECT_EQ(HashGenerator::cachedHashValue(Url::fileURL(path)),
              HashGenerator::md5(std::string_view(expected)));
    EXPECT_EQ(HashGenerator::cacheStatistics().misses - before, std::uint64_t(reads)) << expected;
  }
  setModificationTime(path, std::time(nullptr) + 3600);  // within its tick: it may still change
  const auto before = HashGenerator::cacheStatistics().misses;
  HashGenerator::cachedHashValue(Url::fileURL(path)),
      HashGenerator::cachedHashValue(Url::fileURL(path));
  EXPECT_EQ(HashGenerator::cacheStatistics().misses, before + 2);
  for (std::size_t i = 0; i < HashGenerator::kCacheCapacity; ++i) {
    writeFile(dir / std::to_string(i), "");
    setModificationTime(dir / std::to_string(i), 1000);
    HashGenerator::cachedHashValue(Url::fileURL(dir / std::to_string(i)));
  }
  EXPECT_EQ(HashGenerator::cacheStatistics().entries, HashGenerator::kCacheCapacity);
}

TEST(UniqueNamesGenerator, AppendsSecondsSinceTheReferenceDateWrittenAsEveryDouble) {
  const auto reference = system_clock::from_time_t(978307200);  // 2001-01-01 00:00:00 UTC
  using std::chrono::microseconds;
  // clang-format off
  for (const auto& [path, offset, name] : std::vector<std::tuple<std::string, microseconds, std::string>>{
           {"/in/photo.png", microseconds(694224000500000), "photo_694224000.5.png"}, {"/in/photo.png", microseconds(700000000000000), "photo_700000000.0.png"},
           {"/in/photo.png", microseconds(694224000123456), "photo_694224000.123456.png"},
           {"/in/photo.png", microseconds(10), "photo_1e-05.png"},  // as the log and the page write it
           {"/in/photo.png", microseconds(-2250000), "photo_-2.25.png"}, {"/in/README", microseconds(1000000), "README_1.0."},
           {"/in/a.tar.gz", microseconds(0), "a.tar_0.0.gz"}})
    EXPECT_EQ(UniqueNamesGenerator::uniqueLastPathComponentName(Url::fileURL(path), reference + offset), name);
  // clang-format on
  const std::string name =
      UniqueNamesGenerator().uniqueLastPathComponentName(Url::fileURL("/in/photo.png"));
  ASSERT_TRUE(matchesShape(name, "photo_*.*.png")) << name;
  EXPECT_NEAR(std::stod(name.substr(6)),
              UniqueNamesGenerator::secondsSinceReferenceDate(system_clock::now()), 5.0);
}

TEST(Thread, RunOnMainThreadIsInlineOnTheMainThreadOnly) {
  std::atomic<int> steps{0}, onMain{0};  // steps 12: the inner block ran first, inline
  DispatchQueue::main().async([&] {
    Thread::runOnMainThread([&] { steps = steps * 10 + 1; });
    steps = steps * 10 + 2;
  });
  ASSERT_TRUE(MainQueue::runUntil([&] { return steps >= 2; }, std::chrono::seconds(30)));
  EXPECT_EQ(steps, 12);
  std::thread([&] {
    Thread::runOnMainThread([&] { onMain = DispatchQueue::isMainThread() ? 1 : 2; });
  }).join();
  EXPECT_EQ(onMain, 0);  // waits for the main queue
  ASSERT_TRUE(MainQueue::runUntil([&] { return onMain != 0; }, std::chrono::seconds(30)));
  EXPECT_EQ(onMain, 1);
}

}  // namespace
}  // namespace lumo
