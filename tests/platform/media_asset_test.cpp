#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cmath>
#include <future>
#include <thread>

#include "../common/TestFiles.h"
#include "lumo/platform/MediaAsset.h"

namespace lumo {
namespace {

using namespace testing_files;

// Videos made once for the whole suite with the ffmpeg command-line tool.
class MediaAssetTest : public ::testing::Test {
 protected:
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

TEST_F(MediaAssetTest, DurationTracksAndFrameTimesWhereverTheHeaderIsAndWhateverTheName) {
  fs::copy_file(path("end.mp4"), path("odd\xff\xfe name:with 'quote'.mp4"));
  fs::copy_file(path("end.mp4"), path("http:x.mp4"));
  // clang-format off
  for (const auto& [name, seconds] : {
           std::pair<std::string, double>{"end.mp4", 3.0}, {"start.mp4", 3.0}, {"clip.mov", 2.4},
           {"fragmented.mp4", 4.0}, {"odd\xff\xfe name:with 'quote'.mp4", 3.0}, {"http:x.mp4", 3.0},
           {"audio.m4a", 2.0}})
    // clang-format on
    EXPECT_NEAR(asset(name)->duration().seconds(), seconds, 0.05) << name;
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
  EXPECT_TRUE(audio->firstAudioTrack());
  EXPECT_FALSE(audio->firstVideoTrack() || audio->lastFrameTime() || audio->videoOrientation() ||
               audio->avCaptureVideoOrientation());
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
  EXPECT_EQ(
      std::vector<C>({C::portrait, C::portraitUpsideDown, C::landscapeRight, C::landscapeLeft}),
      std::vector<C>({C(1), C(2), C(3), C(4)}));
}

TEST_F(MediaAssetTest, BadFilesGiveNoDurationAndNoTracks) {
  writeFile(path("noise.mp4"), std::string(100000, '\x5a') + "\x00\x00\x00\x08moov");
  writeFile(path("empty.mp4"), "");
  writeFile(path("text.mov"), "just some text, not a movie\n");
  fs::create_directory(path("folder.mp4"));
  ASSERT_EQ(::mkfifo(path("pipe.mp4").c_str(), 0600), 0);
  // Cut before the header at the end, and inside the payload after the header at the start.
  writeFile(path("cut-end.mp4"),
            readFile(path("end.mp4")).substr(0, fs::file_size(path("end.mp4")) / 2));
  writeFile(path("cut-start.mp4"),
            readFile(path("start.mp4")).substr(0, fs::file_size(path("start.mp4")) * 3 / 4));
  for (const char* name : {"missing.mp4", "noise.mp4", "empty.mp4", "text.mov", "folder.mp4",
                           "pipe.mp4", "cut-end.mp4"}) {
    auto media = asset(name);
    EXPECT_EQ(media->duration(), MediaTime::zero()) << name;
    EXPECT_TRUE(media->tracks().empty() && !media->firstVideoTrack() && !media->videoOrientation())
        << name;
    EXPECT_EQ(media->statusOfValue("tracks"), KeyValueStatus::failed) << name;
  }
  // A file cut after its header still announces the header's duration.
  EXPECT_DOUBLE_EQ(asset("cut-start.mp4")->duration().seconds(), 3.0);
  EXPECT_EQ(MediaAsset::make(*Url::parse("http://127.0.0.1:9/clip.mp4"))->duration(),
            MediaTime::zero());
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

TEST_F(MediaAssetTest, ConcurrentSynchronousAndAsynchronousReadsAgree) {
  auto media = asset("av.mp4");
  std::atomic<int> completions{0}, agreeing{0};
  for (int i = 0; i < 4; ++i) media->loadDuration([&](bool ok) { completions += ok ? 1 : 100; });
  std::vector<std::thread> readers;
  for (int i = 0; i < 4; ++i)
    readers.emplace_back(
        [&] { agreeing += media->tracks().size() == 2 && media->duration().seconds() > 1.9; });
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(agreeing, 4);
  EXPECT_TRUE(
      MainQueue::runUntil([&] { return completions.load() >= 4; }, std::chrono::seconds(30)));
  EXPECT_EQ(completions, 4);
}

}  // namespace
}  // namespace lumo
