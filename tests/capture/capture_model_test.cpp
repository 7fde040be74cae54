#include <gtest/gtest.h>
#include <unicode/locid.h>
#include <unicode/timezone.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

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

constexpr const char* kEmptyMD5 = "d41d8cd98f00b204e9800998ecf8427e";

// The shared date formatter takes ICU's default locale and zone on first use: fix them before
// any test runs. Tokyo has no daylight saving time, so "a day ago" is always yesterday.
class IcuEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(icu::Locale("en_US"), status);
    ASSERT_TRUE(U_SUCCESS(status));
    icu::TimeZone::adoptDefault(icu::TimeZone::createTimeZone("Asia/Tokyo"));
  }
};
const auto* const kIcuEnvironment = ::testing::AddGlobalTestEnvironment(new IcuEnvironment);

TEST(ScreenCaptureKinds, TypeNamesClonesAndExtensions) {
  const Url url = Url::fileURL("/tmp/x");
  EXPECT_EQ(Screenshot(url).typeName(), "Screenshot");
  EXPECT_EQ(Screencast(url).typeName(), "Screencast");
  EXPECT_EQ(GIF(url).typeName(), "Gif");
  EXPECT_EQ(OtherItem(url).typeName(), "Other Item");

  // Clones keep their kind and fields.
  Screencast cast(Url::fileURL("/tmp/a.mp4"));
  cast.setThumbnailFileURL(Url::fileURL("/tmp/a.png"));
  std::unique_ptr<ScreenCapture> copy = cast.clone();
  auto* asCast = dynamic_cast<Screencast*>(copy.get());
  ASSERT_NE(asCast, nullptr);
  EXPECT_EQ(asCast->thumbnailFileURL(), Url::fileURL("/tmp/a.png"));
  EXPECT_EQ(copy->fileURL(), Url::fileURL("/tmp/a.mp4"));
  EXPECT_NE(dynamic_cast<GIF*>(GIF(Url::fileURL("/tmp/b.gif")).clone().get()), nullptr);

  // The extension is the text after the last dot of the path.
  EXPECT_EQ(OtherItem(Url::fileURL("/tmp/archive.tar.gz")).fileExtension(), "gz");
  EXPECT_EQ(OtherItem(Url::fileURL("/tmp/noext")).fileExtension(), "/tmp/noext");
  EXPECT_EQ(OtherItem(Url::fileURL("/tmp/dir.d/noext")).fileExtension(), "d/noext");
  EXPECT_EQ(Screenshot(Url::fileURL("/tmp/Photo.JPG")).fileExtension(), "JPG");
  EXPECT_EQ(OtherItem(Url::fileURL("/tmp/trailing.")).fileExtension(), "");
}

TEST(ScreenCaptureFileValues, SizeDateAndDigestFromTheFile) {
  TempDir dir;
  writeFile(dir / "empty.png", "");
  writeFile(dir / "abc.gif", "abc");
  fs::create_directory(dir / "folder.png");

  Screenshot empty(Url::fileURL(dir / "empty.png"));
  EXPECT_EQ(empty.fileSize(), 0);
  EXPECT_EQ(empty.hashValue(), kEmptyMD5);
  GIF abc(Url::fileURL(dir / "abc.gif"));
  EXPECT_EQ(abc.fileSize(), 3);
  EXPECT_EQ(abc.hashValue(), "900150983cd24fb0d6963f7d28e17f72");

  setModificationTime(dir / "abc.gif", 1672898645);
  ASSERT_TRUE(abc.date());
  EXPECT_EQ(std::chrono::system_clock::to_time_t(*abc.date()), 1672898645);

  for (const char* name : {"missing.png", "folder.png"}) {
    Screenshot bad(Url::fileURL(dir / name));
    EXPECT_EQ(bad.fileSize(), std::nullopt) << name;
    EXPECT_EQ(bad.hashValue(), std::nullopt) << name;
  }
  Screenshot missing(Url::fileURL(dir / "missing.png"));
  EXPECT_EQ(missing.date(), std::nullopt);
  EXPECT_EQ(missing.formattedDate(), "");

  // Values are read afresh on every access.
  writeFile(dir / "abc.gif", "abcd");
  EXPECT_EQ(abc.fileSize(), 4);
  EXPECT_EQ(abc.hashValue(), "e2fc714c4727ee9395f324cd2e7f331f");
}

TEST(ScreenCaptureFormattedDate, RelativeWordsForTodayAndYesterday) {
  TempDir dir;
  writeFile(dir / "today.png", "");
  writeFile(dir / "yesterday.png", "");
  writeFile(dir / "old.png", "");
  const auto now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  setModificationTime(dir / "yesterday.png", now - 24 * 3600);
  setModificationTime(dir / "old.png", 1672898645);  // 2023-01-05 15:04:05 in Tokyo

  EXPECT_EQ(Screenshot(Url::fileURL(dir / "today.png")).formattedDate().rfind("Today", 0), 0u)
      << Screenshot(Url::fileURL(dir / "today.png")).formattedDate();
  EXPECT_EQ(Screenshot(Url::fileURL(dir / "yesterday.png")).formattedDate().rfind("Yesterday", 0),
            0u)
      << Screenshot(Url::fileURL(dir / "yesterday.png")).formattedDate();
  // Medium date, short time; CLDR puts a narrow no-break space before "PM".
  EXPECT_EQ(Screenshot(Url::fileURL(dir / "old.png")).formattedDate(), "Jan 5, 2023, 3:04\u202fPM");
}

TEST(ScreenCaptureFormattedDate, SharedFormatterFromManyThreads) {
  const auto date = std::chrono::system_clock::from_time_t(1672898645);
  std::vector<std::thread> threads;
  std::atomic<int> same{0};
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&] {
      for (int j = 0; j < 50; ++j) {
        if (SharedDateFormatter::shared().string(date) == "Jan 5, 2023, 3:04\u202fPM") ++same;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(same, 400);
}

TEST(Screencast, DurationAndThumbnailSize) {
  TempDir dir;
  ASSERT_EQ(std::system("command -v ffmpeg >/dev/null"), 0)
      << "ffmpeg is needed to make the test video (scripts/setup installs it)";
  run("ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=64x48:rate=25 -t 2.96 -c:v "
      "libx264 -preset ultrafast -pix_fmt yuv420p " +
      shellQuote((dir / "cast.mov").native()));
  Screencast cast(Url::fileURL(dir / "cast.mov"));
  EXPECT_EQ(cast.durationSeconds(), 2);  // 2.96 s, truncated
  EXPECT_EQ(cast.thumbnailFileSize(), std::nullopt);

  cast.setThumbnailFileURL(Url::fileURL(dir / "thumb.png"));
  EXPECT_EQ(cast.thumbnailFileSize(), std::nullopt);
  writeFile(dir / "thumb.png", std::string(1234, 'p'));
  EXPECT_EQ(cast.thumbnailFileSize(), 1234);

  // Unreadable files have no duration (the media tests try many kinds).
  writeFile(dir / "noise.mp4", std::string(5000, '\x42'));
  EXPECT_EQ(Screencast(Url::fileURL(dir / "noise.mp4")).durationSeconds(), 0);
}

TEST(RelativeScreenCapturePath, PartAfterTheLastDocumentsFolder) {
  EXPECT_EQ(relativeScreenCapturePath(
                Url::fileURL("/Users/me/Documents/Screen Shot 2023-01-05 at 3.04.05 PM.png")),
            "/Screen Shot 2023-01-05 at 3.04.05 PM.png");
  EXPECT_EQ(relativeScreenCapturePath(Url::fileURL("/a/Documents/b/Documents/c/d.png")),
            "/c/d.png");
  EXPECT_EQ(relativeScreenCapturePath(Url::fileURL("/home/me/Pictures/x.png")),
            "/home/me/Pictures/x.png");
  EXPECT_EQ(relativeScreenCapturePath(Url::fileURL("/home/me/Documents")), "");
  EXPECT_EQ(relativeScreenCapturePath(Url::fileURL("/home/MyDocumentsX/a.png")), "X/a.png");
}

TEST(QueryParameters, FoldsItemsInOrder) {
  using Map = std::map<std::string, std::string>;
  EXPECT_EQ(queryParameters(*Url::parse("https://h/p?x=1&x=2")), (Map{{"x", "2"}}));
  EXPECT_EQ(queryParameters(*Url::parse("https://h/p?x=1&x")), Map{});
  EXPECT_EQ(queryParameters(*Url::parse("https://h/p?x&x=1&y=a%20b")),
            (Map{{"x", "1"}, {"y", "a b"}}));
  EXPECT_EQ(queryParameters(*Url::parse("https://h/p?&")), Map{});
  EXPECT_EQ(queryParameters(*Url::parse("https://h/p?e=")), (Map{{"e", ""}}));
  EXPECT_EQ(queryParameters(*Url::parse("https://h/p")), std::nullopt);
  EXPECT_EQ(queryParameters(Url::fileURL("/tmp/a.png")), std::nullopt);
}

TEST(CamelCaseToWords, SplitsTrimsAndCapitalises) {
  EXPECT_EQ(camelCaseToWords("OtherItem"), "Other Item");
  EXPECT_EQ(camelCaseToWords("screenShot"), "Screen Shot");
  EXPECT_EQ(camelCaseToWords("ABC"), "Abc");
  EXPECT_EQ(camelCaseToWords("GIF"), "Gif");
  EXPECT_EQ(camelCaseToWords("HTMLPage"), "Html Page");
  EXPECT_EQ(camelCaseToWords("  lower case \n"), "Lower Case");
  EXPECT_EQ(camelCaseToWords("\u00c9coleNormale"), "\u00c9cole Normale");
  EXPECT_EQ(camelCaseToWords(""), "");
  EXPECT_EQ(camelCaseToWords("A"), "A");
}

TEST(ShareResourceType, ContentTypesLookupAndEquality) {
  EXPECT_EQ(ShareResourceType::screenshot().contentType(), "image/png");
  EXPECT_EQ(ShareResourceType::screencastThumbnail().contentType(), "image/png");
  EXPECT_EQ(ShareResourceType::gif().contentType(), "image/gif");
  EXPECT_EQ(ShareResourceType::screencastVideo().contentType(), "video/mp4");
  EXPECT_EQ(ShareResourceType::screencastHTML().contentType(), "text/html");
  EXPECT_FALSE(ShareResourceType::screencastHTML().showProgress());
  EXPECT_FALSE(ShareResourceType::screencastThumbnail().showProgress());
  EXPECT_TRUE(ShareResourceType::screenshot().showProgress());
  EXPECT_TRUE(ShareResourceType::other("pdf").showProgress());

  EXPECT_EQ(ShareResourceType::other("pdf").contentType(), "application/pdf");
  EXPECT_EQ(ShareResourceType::other("mov").contentType(), "video/quicktime");
  EXPECT_EQ(ShareResourceType::other("").contentType(), "application/octet-stream");
  EXPECT_EQ(ShareResourceType::other("no-such-ext").contentType(), "application/octet-stream");
  EXPECT_EQ(ShareResourceType::other(" pdf").contentType(), "application/octet-stream");
  EXPECT_EQ(ShareResourceType::MIMEType("pdf"), "application/pdf");
  EXPECT_EQ(ShareResourceType::MIMEType(""), std::nullopt);
  EXPECT_EQ(ShareResourceType::MIMEType("no-such-ext"), std::nullopt);

  EXPECT_EQ(ShareResourceType::other("pdf"), ShareResourceType::other("pdf"));
  EXPECT_NE(ShareResourceType::other("pdf"), ShareResourceType::other("PDF"));
  EXPECT_NE(ShareResourceType::other(""), ShareResourceType::screenshot());
  EXPECT_NE(ShareResourceType::screenshot(), ShareResourceType::screencastThumbnail());
}

}  // namespace
}  // namespace lumo
