#include <gtest/gtest.h>
#include <unicode/locid.h>
#include <unicode/timezone.h>

#include <thread>

#include "TestFiles.h"
#include "lumo/capture/CamelCaseToWords.h"
#include "lumo/capture/GIF.h"
#include "lumo/capture/OtherItem.h"
#include "lumo/capture/ScreenCaptureUrl.h"
#include "lumo/capture/Screencast.h"
#include "lumo/capture/Screenshot.h"
#include "lumo/capture/ShareResourceType.h"
#include "lumo/capture/SharedDateFormatter.h"

namespace lumo {
namespace {

using namespace testing_files;

// The shared date formatter takes ICU's default locale and zone on first use: fix them before
// any test runs. Tokyo has no daylight saving time, so "a day ago" is always yesterday.
class IcuEnvironment : public ::testing::Environment {
  void SetUp() override {
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(icu::Locale("en_US"), status);
    icu::TimeZone::adoptDefault(icu::TimeZone::createTimeZone("Asia/Tokyo"));
  }
};
const auto* const kIcuEnvironment = ::testing::AddGlobalTestEnvironment(new IcuEnvironment);

TEST(ScreenCaptureKinds, TypeNamesClonesAndExtensions) {
  const Url url = Url::fileURL("/tmp/x");
  EXPECT_EQ(Screenshot(url).typeName() + GIF(url).typeName() + OtherItem(url).typeName(),
            "ScreenshotGifOther Item");
  Screencast cast(Url::fileURL("/tmp/a.mp4"));
  cast.setThumbnailFileURL(Url::fileURL("/tmp/a.png"));
  const auto copy = cast.clone();  // of the same kind, with the same fields
  ASSERT_EQ(copy->typeName(), "Screencast");
  EXPECT_EQ(dynamic_cast<Screencast&>(*copy).thumbnailFileURL(), Url::fileURL("/tmp/a.png"));
  EXPECT_EQ(copy->fileURL(), Url::fileURL("/tmp/a.mp4"));
  EXPECT_NE(dynamic_cast<GIF*>(GIF(url).clone().get()), nullptr);
  // The extension is the text after the last dot of the path.
  for (const auto& [path, extension] :
       std::vector<std::pair<std::string, std::string>>{{"/tmp/a.tar.gz", "gz"},
                                                        {"/tmp/noext", "/tmp/noext"},
                                                        {"/tmp/d.d/noext", "d/noext"},
                                                        {"/tmp/Photo.JPG", "JPG"},
                                                        {"/tmp/trailing.", ""}}) {
    EXPECT_EQ(OtherItem(Url::fileURL(path)).fileExtension(), extension) << path;
  }
}

TEST(ScreenCaptureFileValues, SizeDateDigestAndFormattedDateFromTheFile) {
  TempDir dir;
  writeFile(dir / "empty.png", "");
  writeFile(dir / "abc.gif", "abc");
  fs::create_directory(dir / "folder.png");
  const Screenshot empty(Url::fileURL(dir / "empty.png"));
  EXPECT_EQ(empty.fileSize(), 0);
  EXPECT_EQ(empty.hashValue(), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(empty.formattedDate().rfind("Today", 0), 0u) << empty.formattedDate();
  const GIF abc(Url::fileURL(dir / "abc.gif"));
  setModificationTime(dir / "abc.gif", 1672898645);  // 2023-01-05 15:04:05 in Tokyo
  EXPECT_EQ(abc.fileSize(), 3);
  EXPECT_EQ(abc.hashValue(), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(std::chrono::system_clock::to_time_t(abc.date().value()), 1672898645);
  // Medium date, short time; CLDR puts a narrow no-break space before "PM".
  EXPECT_EQ(abc.formattedDate(), "Jan 5, 2023, 3:04\u202fPM");
  setModificationTime(dir / "abc.gif", std::time(nullptr) - 24 * 3600);
  EXPECT_EQ(abc.formattedDate().rfind("Yesterday", 0), 0u) << abc.formattedDate();
  writeFile(dir / "abc.gif", "abcd");  // read afresh on every access
  EXPECT_EQ(abc.fileSize(), 4);
  EXPECT_EQ(abc.hashValue(), "e2fc714c4727ee9395f324cd2e7f331f");
  for (const char* name : {"missing.png", "folder.png"}) {
    const Screenshot bad(Url::fileURL(dir / name));
    EXPECT_FALSE(bad.fileSize() || bad.hashValue()) << name;
  }
  EXPECT_EQ(Screenshot(Url::fileURL(dir / "missing.png")).date(), std::nullopt);
  EXPECT_EQ(Screenshot(Url::fileURL(dir / "missing.png")).formattedDate(), "");
}

TEST(ScreenCaptureFileValues, SharedFormatterFromManyThreads) {
  std::atomic<int> same{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&] {
      for (int j = 0; j < 20; ++j) {
        same += SharedDateFormatter::shared().string(std::chrono::system_clock::from_time_t(
                    1672898645)) == "Jan 5, 2023, 3:04\u202fPM";
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(same, 80);
}

TEST(Screencast, DurationAndThumbnailSize) {
  TempDir dir;
  // 2.96 s, truncated; unreadable files have none (the media tests try many kinds).
  run("ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=64x48:rate=25 -t 2.96 -c:v libx264 "
      "-preset ultrafast -pix_fmt yuv420p " +
      shellQuote((dir / "cast.mov").native()));
  Screencast cast(Url::fileURL(dir / "cast.mov"));
  EXPECT_EQ(cast.durationSeconds(), 2);
  writeFile(dir / "noise.mp4", std::string(5000, '\x42'));
  EXPECT_EQ(Screencast(Url::fileURL(dir / "noise.mp4")).durationSeconds(), 0);
  EXPECT_EQ(cast.thumbnailFileSize(), std::nullopt);
  cast.setThumbnailFileURL(Url::fileURL(dir / "thumb.png"));
  EXPECT_EQ(cast.thumbnailFileSize(), std::nullopt);
  writeFile(dir / "thumb.png", std::string(1234, 'p'));
  EXPECT_EQ(cast.thumbnailFileSize(), 1234);
}

TEST(ScreenCaptureText, RelativePathsQueryParametersAndWords) {
  // clang-format off
  for (const auto& [path, relative] : std::vector<std::pair<std::string, std::string>>{
           {"/Users/me/Documents/Screen Shot.png", "/Screen Shot.png"}, {"/a/Documents/b/Documents/c/d.png", "/c/d.png"},
           {"/home/me/x.png", "/home/me/x.png"}, {"/home/me/Documents", ""}, {"/home/MyDocumentsX/a.png", "X/a.png"}}) {
    EXPECT_EQ(relativeScreenCapturePath(Url::fileURL(path)), relative) << path;
  }
  using Map = std::map<std::string, std::string>;
  for (const auto& [query, parameters] : std::vector<std::pair<std::string, std::optional<Map>>>{
           {"?x=1&x=2", Map{{"x", "2"}}}, {"?x=1&x", Map{}}, {"?x&x=1&y=a%20b", Map{{"x", "1"}, {"y", "a b"}}},
           {"?&", Map{}}, {"?e=", Map{{"e", ""}}}, {"", std::nullopt}}) {
    EXPECT_EQ(queryParameters(*Url::parse("https://h/p" + query)), parameters) << query;
  }
  EXPECT_EQ(queryParameters(Url::fileURL("/tmp/a.png")), std::nullopt);
  for (const auto& [name, words] : std::vector<std::pair<std::string, std::string>>{
           {"OtherItem", "Other Item"}, {"screenShot", "Screen Shot"}, {"ABC", "Abc"}, {"HTMLPage", "Html Page"},
           {"  lower case \n", "Lower Case"}, {"\u00c9coleNormale", "\u00c9cole Normale"}, {"", ""}, {"A", "A"}}) {
    EXPECT_EQ(camelCaseToWords(name), words) << name;
  }
  // clang-format on
}

TEST(ShareResourceType, ContentTypesProgressAndEquality) {
  using T = ShareResourceType;
  // clang-format off
  for (const auto& [type, contentType, progress] : std::vector<std::tuple<T, std::string, bool>>{
           {T::screenshot(), "image/png", true}, {T::screencastThumbnail(), "image/png", false},
           {T::gif(), "image/gif", true}, {T::screencastVideo(), "video/mp4", true},
           {T::screencastHTML(), "text/html", false}, {T::other("pdf"), "application/pdf", true},
           {T::other("mov"), "video/quicktime", true}, {T::other(""), "application/octet-stream", true},
           {T::other("no-such-ext"), "application/octet-stream", true}, {T::other(" pdf"), "application/octet-stream", true}}) {
    // clang-format on
    EXPECT_EQ(type.contentType(), contentType);
    EXPECT_EQ(type.showProgress(), progress) << contentType;
  }
  EXPECT_EQ(T::MIMEType("pdf"), "application/pdf");
  EXPECT_EQ(T::MIMEType(""), std::nullopt);
  EXPECT_EQ(T::MIMEType("no-such-ext"), std::nullopt);
  EXPECT_EQ(T::other("pdf"), T::other("pdf"));
  EXPECT_NE(T::other("pdf"), T::other("PDF"));
  EXPECT_NE(T::other(""), T::screenshot());
  EXPECT_NE(T::screenshot(), T::screencastThumbnail());
}

}  // namespace
}  // namespace lumo
