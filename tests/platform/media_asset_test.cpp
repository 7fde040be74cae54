#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <future>
#include <thread>

#include "../common/TestFiles.h"
#include "lumo/platform/MediaAsset.h"
#include "lumo/platform/PlatformImage.h"

namespace lumo {
namespace {

using namespace testing_files;

// Videos made once for the whole suite with the ffmpeg command-line tool.
struct MediaAssetTest : ::testing::Test {
  static void SetUpTestSuite() {
    const std::string audio = "-f lavfi -i sine=frequency=440:sample_rate=44100 ";
    const std::string h264 =
        "-f lavfi -i testsrc=size=64x48:rate=25 -c:v libx264 -preset ultrafast -pix_fmt yuv420p ";
    // clang-format off
    for (const auto& [name, args] : {
             std::pair{"end.mp4", h264 + "-t 3"}, {"start.mp4", h264 + "-t 3 -movflags +faststart"},
             {"clip.mov", h264 + "-t 2.4"}, {"fragmented.mp4", h264 + "-t 4 -movflags frag_keyframe+empty_moov"},
             {"av.mp4", audio + h264 + "-c:a aac -t 2"}, {"audio.m4a", audio + "-c:a aac -t 2"}})
      // clang-format on
      run("ffmpeg -nostdin -v error -y " + args + " " + shellQuote(path(name)));
  }
  static std::shared_ptr<MediaAsset> asset(const std::string& name) {
    return MediaAsset::make(Url::fileURL(path(name)));
  }
  static std::string path(const std::string& name) {
    static const TempDir dir;  // removed at exit
    return (dir / name).native();
  }
};

TEST_F(MediaAssetTest, DurationAndTracksWhereverTheHeaderIsWhateverTheNameAndNoneForBadFiles) {
  fs::copy_file(path("end.mp4"), path("odd\xff\xfe name:with 'quote'.mp4"));
  fs::copy_file(path("end.mp4"), path("http:x.mp4"));
  writeFile(path("noise.mp4"), std::string(100000, '\x5a') + "\x00\x00\x00\x08moov");
  writeFile(path("empty.mp4"), "");
  writeFile(path("text.mov"), "just some text, not a movie\n");
  fs::create_directory(path("folder.mp4"));
  ASSERT_EQ(::mkfifo(path("pipe.mp4").c_str(), 0600), 0);
  // Cut before the header at the end; cut in the payload after the header at the start, which
  // still announces the header's duration.
  writeFile(path("cut-end.mp4"),
            readFile(path("end.mp4")).substr(0, fs::file_size(path("end.mp4")) / 2));
  writeFile(path("cut-start.mp4"),
            readFile(path("start.mp4")).substr(0, fs::file_size(path("start.mp4")) * 3 / 4));
  // clang-format off
  for (const auto& [name, seconds, tracks] : {
           std::tuple<std::string, double, size_t>{"end.mp4", 3.0, 1}, {"start.mp4", 3.0, 1}, {"clip.mov", 2.4, 1},
           {"fragmented.mp4", 4.0, 1}, {"odd\xff\xfe name:with 'quote'.mp4", 3.0, 1}, {"http:x.mp4", 3.0, 1},
           {"audio.m4a", 2.0, 1}, {"av.mp4", 2.0, 2}, {"cut-start.mp4", 3.0, 1}, {"missing.mp4", 0, 0}, {"noise.mp4", 0, 0},
           {"empty.mp4", 0, 0}, {"text.mov", 0, 0}, {"folder.mp4", 0, 0}, {"pipe.mp4", 0, 0}, {"cut-end.mp4", 0, 0}}) {
    // clang-format on
    auto media = asset(name);
    EXPECT_NEAR(media->duration().seconds(), seconds, 0.05) << name;
    EXPECT_EQ(media->tracks().size(), tracks) << name;
    EXPECT_EQ(media->statusOfValue("tracks"),
              tracks ? KeyValueStatus::loaded : KeyValueStatus::failed)
        << name;
    EXPECT_TRUE(tracks || (!media->firstVideoTrack() && !media->videoOrientation())) << name;
  }
  EXPECT_EQ(MediaAsset::make(*Url::parse("http://127.0.0.1:9/clip.mp4"))->duration(),
            MediaTime::zero());
  auto av = asset("av.mp4");
  const auto tracks = av->tracks();
  ASSERT_EQ(tracks.size(), 2u);
  EXPECT_TRUE(tracks[0].mediaType == MediaType::video && tracks[1].mediaType == MediaType::audio);
  EXPECT_TRUE(tracks[0].trackID != tracks[1].trackID &&
              av->firstAudioTrack()->trackID == tracks[1].trackID);
  EXPECT_EQ(av->firstFrameTime(), (MediaTime{0, 1}));
  EXPECT_NEAR(av->lastFrameTime().value_or(MediaTime{}).seconds(), 2.0, 0.05);
  EXPECT_NEAR(asset("fragmented.mp4")->lastFrameTime().value_or(MediaTime{}).seconds(), 4.0, 0.05);
  auto audio = asset("audio.m4a");  // no video values
  EXPECT_FALSE(!audio->firstAudioTrack() || audio->firstVideoTrack() || audio->lastFrameTime() ||
               audio->videoOrientation() || audio->avCaptureVideoOrientation());
  EXPECT_EQ(asset("end.mp4")->firstVideoTrack()->preferredTransform, AffineTransform::identity());
}

TEST_F(MediaAssetTest, OrientationFromTheDisplayMatrixWithTheAngleTruncated) {
  using O = VideoOrientation;
  using C = CaptureVideoOrientation;
  // clang-format off
  const std::tuple<double, std::optional<O>, std::optional<C>> cases[] = {
      {90, O::up, C::portrait}, {-90, O::down, C::portraitUpsideDown}, {180, O::left, C::landscapeLeft},
      {0.5, O::right, C::landscapeRight}, {-0.5, O::right, C::landscapeRight},
      {89.99, std::nullopt, std::nullopt}, {45, std::nullopt, std::nullopt}, {-179.99, std::nullopt, std::nullopt}};
  // clang-format on
  const std::string header = readFile(path("start.mp4"));  // the header is before the media
  const size_t tkhd = header.find("tkhd");
  ASSERT_NE(tkhd, std::string::npos);
  // After type, version and flags, times, id, duration, layer, group and volume: the matrix.
  const size_t matrix = tkhd + 8 + (header[tkhd + 4] == 1 ? 32 : 20) + 16;
  for (const auto& [degrees, orientation, capture] : cases) {
    std::string bytes = header;
    const double r = degrees * M_PI / 180;
    for (const auto& [index, value] :
         {std::pair{0, std::cos(r)}, {1, std::sin(r)}, {3, -std::sin(r)}, {4, std::cos(r)}}) {
      const auto fixed = static_cast<uint32_t>(static_cast<int32_t>(std::lround(value * 65536)));
      for (int i = 0; i < 4; ++i)
        bytes[matrix + 4 * index + i] = static_cast<char>(fixed >> (24 - 8 * i));
    }
    const std::string name = "matrix" + std::to_string(degrees) + ".mp4";
    writeFile(path(name), bytes);
    EXPECT_EQ(asset(name)->videoOrientation(), orientation) << degrees;
    EXPECT_EQ(asset(name)->avCaptureVideoOrientation(), capture) << degrees;
  }
  // The capture framework's numbers: portrait 1, upside down 2, landscape right 3, left 4.
  static_assert(C(1) == C::portrait && C(2) == C::portraitUpsideDown && C(3) == C::landscapeRight &&
                C(4) == C::landscapeLeft);
}

// All loads run on a serial queue that the test holds until every load is asked for.
TEST_F(MediaAssetTest, LoadsInTheBackgroundAndAnswersOnlyKnownKeysOfLiveAssets) {
  DispatchQueue queue("media-asset-test");
  std::promise<void> release;
  queue.async([held = release.get_future().share()] { held.wait(); });
  std::vector<std::string> answers;  // touched on the queue only
  const auto main = std::this_thread::get_id();
  auto note = [&](const std::string& what) {
    return [&, what](bool ok) {
      answers.push_back(what + (ok ? " ok" : " failed") +
                        (std::this_thread::get_id() == main ? " on main" : ""));
    };
  };
  auto media = MediaAsset::make(Url::fileURL(path("start.mp4")), queue);
  auto gone = MediaAsset::make(Url::fileURL(path("start.mp4")), queue);
  EXPECT_EQ(media->statusOfValue("duration"), KeyValueStatus::unknown);
  testing::internal::CaptureStdout();
  media->loadDuration(note("duration"));
  media->loadValueAsync("playable", note("playable"));
  auto missing = MediaAsset::make(Url::fileURL(path("missing.mov")), queue);
  missing->loadTracks(note("missing"));
  gone->loadTracks(note("gone"));
  gone->loadValuesAsynchronously({"tracks"}, [&] { answers.push_back("handler of a gone asset"); });
  gone.reset();
  std::vector<std::thread> readers;  // synchronous reads while the loads wait
  std::atomic<int> agreeing{0};
  for (int i = 0; i < 4; ++i)
    readers.emplace_back(
        [&] { agreeing += media->tracks().size() == 1 && media->duration().seconds() > 2.9; });
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(agreeing, 4);
  release.set_value();
  auto answered = [&] {
    std::vector<std::string> copy;
    queue.sync([&] { copy = answers; });
    return copy;
  };
  ASSERT_TRUE(
      MainQueue::runUntil([&] { return answered().size() >= 3; }, std::chrono::seconds(30)));
  media->loadTracks(note("tracks"));  // once loaded, loads answer again
  ASSERT_TRUE(
      MainQueue::runUntil([&] { return answered().size() >= 4; }, std::chrono::seconds(30)));
  auto all = answered();
  std::sort(all.begin(), all.end());
  EXPECT_EQ(all, (std::vector<std::string>{"duration ok", "handler of a gone asset",
                                           "missing failed", "tracks ok"}));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "STATUS is 0\n");
  EXPECT_EQ(media->statusOfValue("tracks"), KeyValueStatus::loaded);
}

using Bytes = std::vector<std::uint8_t>;
using Format = PlatformImage::Format;

// The bytes of a file ffmpeg makes from `source` (a lavfi graph) with `args`.
Bytes make(const std::string& name, const std::string& source, const std::string& args = "") {
  static const TempDir dir;
  run("ffmpeg -nostdin -loglevel error -y -f lavfi -i '" + source + "' -frames:v 1 " + args + " '" +
      (dir / name).string() + "'");
  const std::string bytes = readFile(dir / name);
  return Bytes(bytes.begin(), bytes.end());
}

// Each format is recognised, on several threads at once, with its pixel size and keeps its
// bytes; its PNG reads back at the same size and, lossy formats included, close to red.
TEST(PlatformImageTest, RecognisesEachFormatAndDecodesItToAPNGOfTheSameSizeAndColour) {
  const std::pair<const char*, Format> cases[] = {
      {"a.png", Format::png}, {"a.jpg", Format::jpeg},  {"a.gif", Format::gif},
      {"a.bmp", Format::bmp}, {"a.tiff", Format::tiff}, {"a.webp", Format::webp}};
  std::vector<std::thread> threads;
  for (const auto& [file, format] : cases) {
    // Odd sides on purpose; from RGB, as ffmpeg crops a flat colour's 4:2:0 JPEG to even ones.
    const Bytes bytes = make(file, "color=c=red:size=67x35,format=rgb24",
                             format == Format::jpeg ? "-pix_fmt yuvj420p" : "");
    threads.emplace_back([&, bytes, file = file, format = format] {
      const auto image = PlatformImage::fromData(bytes);
      ASSERT_TRUE(image) << file;
      const auto png = image->pngRepresentation().value_or(Bytes());
      const auto back = PlatformImage::fromData(png);
      ASSERT_TRUE(back && back->format() == Format::png) << file;
      const Bytes pixels = back->rgbaPixels().value_or(Bytes(4));
      EXPECT_TRUE(image->format() == format && image->size() == (PlatformImage::Size{67, 35}) &&
                  std::ranges::equal(image->data(), bytes) &&
                  (format != Format::png || png == bytes) &&
                  back->size() == (PlatformImage::Size{67, 35}) && pixels.size() == 67u * 35 * 4 &&
                  pixels[0] > 230 && pixels[1] < 40 && pixels[2] < 40 && pixels[3] == 255)
          << file;
    });
  }
  for (auto& thread : threads) thread.join();
}

TEST(PlatformImageTest, PixelsOfTheRightSizeEncodeAndReadBackAndNonImagesAreRefused) {
  Bytes pixels(5 * 3 * 4);
  for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = i % 4 == 3 ? 255 : i * 7 % 256;
  const auto image = PlatformImage::fromRGBA(5, 3, pixels);
  ASSERT_TRUE(image);
  EXPECT_TRUE(image->format() == std::nullopt && image->data().empty());
  const auto back = PlatformImage::fromData(image->pngRepresentation().value_or(Bytes()));
  ASSERT_TRUE(back);
  EXPECT_TRUE(back->size() == (PlatformImage::Size{5, 3}) && back->rgbaPixels() == pixels);
  EXPECT_FALSE(PlatformImage::fromRGBA(0, 3, {}) || PlatformImage::fromRGBA(-1, 3, Bytes(12)) ||
               PlatformImage::fromRGBA(2, 2, Bytes(15)) ||
               PlatformImage::fromRGBA(65536, 65536, Bytes(4)));
  const Bytes png = make("cut.png", "testsrc=size=64x64");
  const std::string html = "<html><body><h1>Injected fault</h1></body></html>";
  for (const Bytes& bytes :
       {Bytes{}, Bytes(10 << 20, 0xa7), Bytes(html.begin(), html.end()),
        Bytes(png.begin(), png.begin() + 8), Bytes(png.begin(), png.begin() + 20),
        make("clip.mp4", "testsrc=size=32x32:duration=1")})
    EXPECT_FALSE(PlatformImage::fromData(bytes)) << bytes.size();
}

// A damaged WebP found by fuzzing (its height lowered from 14130 to 16): the scaler's vector
// code wrote 32 bytes past rows of 520 pixels, and so past the end of the pixel buffer (ASan
// builds saw the heap corrupted).
TEST(PlatformImageTest, PixelsOfRowsThatAreNoMultipleOfTheScalersBlockStayInTheirBuffer) {
  const std::string webp(
      "\x52\x49\x46\x46\x90\x00\x00\x00\x57\x45\x42\x50\x56\x50\x38\x20\x84\x00\x00\x00\x90\x02"
      "\x00\x9d\x01\x2a\x08\x02\x10\x00\x01\x00\x00\x00\x20\x66\x74\x79\x70\x69\x73\x6f\x6d\x00"
      "\x00\x02\x00\x69\x73\x6f\x6d\x69\x73\x6f\x32\x61\x76\x63\x31\x6d\x70\x34\x31\x00\x00\x03"
      "\x31\x6d\x6f\x6f\x76\x00\x00\x00\x6c\x6d\x76\x68\x64\x00\x00\x00\x00\x00\x00\x00\x00\x00"
      "\x00\x00\x00\x00\x00\x03\xe8\x00\x00\x01\x90\x00\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00"
      "\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
      "\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x40\x00\x00\x00\x00\x00\x00"
      "\x00\x00\x00\x00\x00",
      159);
  const auto image = PlatformImage::fromData(Bytes(webp.begin(), webp.end()));
  ASSERT_TRUE(image);
  ASSERT_EQ(image->size(), (PlatformImage::Size{520, 16}));
  EXPECT_TRUE(image->rgbaPixels().value_or(Bytes()).size() == 520u * 16u * 4u &&
              image->pngRepresentation());
}

}  // namespace
}  // namespace lumo
