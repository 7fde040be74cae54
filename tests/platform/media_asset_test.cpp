#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <future>
#include <random>
#include <thread>

#include "../common/TestFiles.h"
#include "lumo/platform/MediaAsset.h"

namespace lumo {
namespace {

using namespace testing_files;
using namespace std::chrono_literals;

// Videos made once for the whole suite with the ffmpeg command-line tool.
class MediaAssetTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const std::string video = "-f lavfi -i testsrc=size=64x48:rate=25 ";
    const std::string audio = "-f lavfi -i sine=frequency=440:sample_rate=44100 ";
    const std::string h264 = video + "-c:v libx264 -preset ultrafast -pix_fmt yuv420p ";
    // clang-format off
    for (const auto& [name, args] : {
             std::pair{"end.mp4", h264 + "-t 3"}, {"start.mp4", h264 + "-t 3 -movflags +faststart"},
             {"clip.mov", h264 + "-t 2.4"}, {"fragmented.mp4", h264 + "-t 4 -movflags frag_keyframe+empty_moov"},
             {"av.mp4", audio + h264 + "-c:a aac -t 2"}, {"audio.m4a", audio + "-c:a aac -t 2"}}) {
      // clang-format on
      run("ffmpeg -nostdin -v error -y " + args + " " + shellQuote(path(name)));
    }
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
  for (const std::string& name :
       {std::string("odd\xff\xfe name:with 'quote'.mp4"), std::string("http:x.mp4")}) {
    fs::copy_file(path("end.mp4"), path(name));
  }
  // clang-format off
  for (const auto& [name, seconds] : {
           std::pair<std::string, double>{"end.mp4", 3.0}, {"start.mp4", 3.0}, {"clip.mov", 2.4},
           {"fragmented.mp4", 4.0}, {"odd\xff\xfe name:with 'quote'.mp4", 3.0}, {"http:x.mp4", 3.0},
           {"audio.m4a", 2.0}}) {
    // clang-format on
    EXPECT_NEAR(asset(name)->duration().seconds(), seconds, 0.05) << name;
  }
  auto av = asset("av.mp4");
  const auto tracks = av->tracks();
  ASSERT_EQ(tracks.size(), 2u);
  EXPECT_EQ(tracks[0].mediaType, MediaType::video);
  EXPECT_EQ(tracks[1].mediaType, MediaType::audio);
  EXPECT_NE(tracks[0].trackID, tracks[1].trackID);
  EXPECT_EQ(av->firstAudioTrack()->trackID, tracks[1].trackID);
  EXPECT_EQ(av->firstFrameTime(), (MediaTime{0, 1}));
  EXPECT_NEAR(av->lastFrameTime().value_or(MediaTime{}).seconds(), 2.0, 0.05);
  EXPECT_NEAR(asset("fragmented.mp4")->lastFrameTime().value_or(MediaTime{}).seconds(), 4.0, 0.05);
  auto audio = asset("audio.m4a");  // no video values
  EXPECT_TRUE(audio->firstAudioTrack());
  EXPECT_FALSE(audio->firstVideoTrack() || audio->lastFrameTime() || audio->videoOrientation() ||
               audio->avCaptureVideoOrientation());
  EXPECT_EQ(asset("end.mp4")->firstVideoTrack()->preferredTransform, AffineTransform::identity());
}

// Writes a rotation by `degrees` (in 16.16 fixed point) into the matrix of the first track
// header of the file, which must hold its header before the media data.
void writeRotation(const fs::path& file, double degrees) {
  std::string bytes = readFile(file);
  const size_t tkhd = bytes.find("tkhd");
  ASSERT_NE(tkhd, std::string::npos);
  // type, version and flags, times, track id, reserved and duration, then reserved, layer,
  // alternate group, volume and reserved.
  const size_t matrix = tkhd + 8 + (bytes[tkhd + 4] == 1 ? 32 : 20) + 16;
  const double r = degrees * 3.14159265358979323846 / 180;
  const std::pair<int, double> entries[] = {
      {0, std::cos(r)}, {1, std::sin(r)}, {3, -std::sin(r)}, {4, std::cos(r)}};
  for (const auto& [index, value] : entries) {
    const auto fixed = static_cast<uint32_t>(static_cast<int32_t>(std::lround(value * 65536)));
    for (int i = 0; i < 4; ++i)
      bytes[matrix + 4 * index + i] = static_cast<char>((fixed >> (24 - 8 * i)) & 0xff);
  }
  writeFile(file, bytes);
}

TEST_F(MediaAssetTest, OrientationFromTheDisplayMatrixWithTheAngleTruncated) {
  using O = VideoOrientation;
  using C = CaptureVideoOrientation;
  // clang-format off
  const std::tuple<double, std::optional<O>, std::optional<C>> cases[] = {
      {90, O::up, C::portrait}, {-90, O::down, C::portraitUpsideDown}, {180, O::left, C::landscapeLeft},
      {0, O::right, C::landscapeRight}, {0.5, O::right, C::landscapeRight}, {-0.5, O::right, C::landscapeRight},
      {89.99, std::nullopt, std::nullopt}, {45, std::nullopt, std::nullopt}, {-179.99, std::nullopt, std::nullopt}};
  // clang-format on
  int index = 0;
  for (const auto& [degrees, orientation, capture] : cases) {
    const std::string name = "matrix" + std::to_string(index++) + ".mp4";
    fs::copy_file(path("start.mp4"), path(name));
    writeRotation(path(name), degrees);
    EXPECT_EQ(asset(name)->videoOrientation(), orientation) << degrees;
    EXPECT_EQ(asset(name)->avCaptureVideoOrientation(), capture) << degrees;
  }
  // The capture framework's numbers: portrait 1, upside down 2, landscape right 3, left 4.
  EXPECT_EQ(std::vector<int>({int(C::portrait), int(C::portraitUpsideDown), int(C::landscapeRight),
                              int(C::landscapeLeft)}),
            std::vector<int>({1, 2, 3, 4}));
}

TEST_F(MediaAssetTest, BadFilesGiveNoDurationAndNoTracks) {
  std::mt19937 random(7);
  std::string noise(100000, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  writeFile(path("noise.mp4"), noise);
  writeFile(path("empty.mp4"), "");
  writeFile(path("text.mov"), "just some text, not a movie\n");
  fs::create_directory(path("folder.mp4"));
  ASSERT_EQ(::mkfifo(path("pipe.mp4").c_str(), 0600), 0);
  // Cut before the header at the end, and inside the payload after the header at the start.
  fs::copy_file(path("end.mp4"), path("cut-end.mp4"));
  fs::resize_file(path("cut-end.mp4"), fs::file_size(path("end.mp4")) / 2);
  fs::copy_file(path("start.mp4"), path("cut-start.mp4"));
  fs::resize_file(path("cut-start.mp4"), fs::file_size(path("start.mp4")) * 3 / 4);
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

// Waits for `flag` while running the main queue (completions never need it, but a hang shows).
bool waitFor(const std::atomic<bool>& flag) {
  return MainQueue::runUntil([&] { return flag.load(); }, std::chrono::seconds(20));
}

TEST_F(MediaAssetTest, LoadsValuesOnABackgroundThreadAndAnswersFalseForAnUnreadableFile) {
  auto media = asset("start.mp4");
  EXPECT_EQ(media->statusOfValue("duration"), KeyValueStatus::unknown);
  std::atomic<bool> done{false};
  std::atomic<bool> result{false};
  std::thread::id thread;
  media->loadDuration([&](bool ok) {
    thread = std::this_thread::get_id();
    result = ok;
    done = true;
  });
  ASSERT_TRUE(waitFor(done));
  EXPECT_TRUE(result);
  EXPECT_NE(thread, std::this_thread::get_id());
  EXPECT_EQ(media->statusOfValue("duration"), KeyValueStatus::loaded);
  EXPECT_EQ(media->statusOfValue("tracks"), KeyValueStatus::loaded);

  // Once loaded, further loads answer again.
  done = false;
  media->loadTracks([&](bool ok) {
    result = ok;
    done = true;
  });
  ASSERT_TRUE(waitFor(done));
  EXPECT_TRUE(result);

  done = false;
  auto missing = asset("does-not-exist.mov");
  missing->loadTracks([&](bool ok) {
    result = ok;
    done = true;
  });
  ASSERT_TRUE(waitFor(done));
  EXPECT_FALSE(result);
}

TEST_F(MediaAssetTest, UnknownKeyPrintsTheStatusAndNeverCompletes) {
  auto media = asset("end.mp4");
  std::atomic<bool> called{false};
  std::atomic<bool> tracksDone{false};
  testing::internal::CaptureStdout();
  media->loadValueAsync("playable", [&](bool) { called = true; });
  media->loadTracks([&](bool) { tracksDone = true; });
  ASSERT_TRUE(waitFor(tracksDone));
  // The handlers of one load are queued together; give the first one time to run.
  MainQueue::runFor(std::chrono::milliseconds(200));
  const std::string output = testing::internal::GetCapturedStdout();
  EXPECT_EQ(output, "STATUS is 0\n");
  EXPECT_FALSE(called);
}

TEST_F(MediaAssetTest, NothingHappensWhenTheAssetIsGone) {
  // The asset loads on a serial queue that the test holds until the asset is gone.
  DispatchQueue queue("media-asset-test");
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  queue.async([released] { released.wait(); });
  std::atomic<bool> called{false};
  std::atomic<bool> loadFinished{false};
  {
    auto media = MediaAsset::make(Url::fileURL(path("start.mp4")), queue);
    media->loadTracks([&](bool) { called = true; });
    // The platform-level handler does not care whether the asset is still there.
    media->loadValuesAsynchronously({"tracks"}, [&] { loadFinished = true; });
  }
  release.set_value();
  ASSERT_TRUE(waitFor(loadFinished));
  queue.sync([] {});  // the handlers run in order on the serial queue
  EXPECT_FALSE(called);
}

TEST_F(MediaAssetTest, ConcurrentSynchronousAndAsynchronousReadsAgree) {
  auto media = asset("av.mp4");
  std::atomic<int> completions{0};
  for (int i = 0; i < 4; ++i) media->loadDuration([&](bool ok) { completions += ok ? 1 : 100; });
  std::vector<std::thread> readers;
  std::atomic<int> agreeing{0};
  for (int i = 0; i < 4; ++i) {
    readers.emplace_back([&] {
      if (media->tracks().size() == 2 && media->duration().seconds() > 1.9) ++agreeing;
    });
  }
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(agreeing, 4);
  EXPECT_TRUE(
      MainQueue::runUntil([&] { return completions.load() >= 4; }, std::chrono::seconds(20)));
  EXPECT_EQ(completions, 4);
}

}  // namespace
}  // namespace lumo
