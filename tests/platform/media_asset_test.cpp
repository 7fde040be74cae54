#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "../common/TestFiles.h"
#include "lumo/platform/MediaAsset.h"
#include "lumo/support/DispatchQueue.h"

namespace lumo {
namespace {

using namespace testing_files;

// Videos made once for the whole suite with the ffmpeg command-line tool.
class MediaAssetTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(std::system("command -v ffmpeg >/dev/null && command -v ffprobe >/dev/null"), 0)
        << "ffmpeg and ffprobe are needed to make the test videos (scripts/setup installs them)";
    char pattern[] = "/tmp/lumo-media-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    const std::string video = "-f lavfi -i testsrc=size=64x48:rate=25";
    const std::string audio = "-f lavfi -i sine=frequency=440:sample_rate=44100";
    const std::string h264 = " -c:v libx264 -preset ultrafast -pix_fmt yuv420p";
    auto make = [](const std::string& name, const std::string& args) {
      run("ffmpeg -nostdin -v error -y " + args + " " + shellQuote((dir_ / name).native()));
    };
    make("end.mp4", video + h264 + " -t 3");
    make("start.mp4", video + h264 + " -t 3 -movflags +faststart");
    make("clip.mov", video + h264 + " -t 2.4");
    make("fragmented.mp4", video + h264 + " -t 4 -movflags frag_keyframe+empty_moov");
    make("av.mp4", video + " " + audio + h264 + " -c:a aac -t 2");
    make("audio.m4a", audio + " -c:a aac -t 2");
    // The rotation is written into the track header's display matrix by a stream copy.
    for (int degrees : {0, 90, 180, 270}) {
      make("rotated" + std::to_string(degrees) + ".mp4",
           "-i " + shellQuote((dir_ / "end.mp4").native()) +
               " -c copy -metadata:s:v:0 rotate=" + std::to_string(degrees));
    }
  }

  static void TearDownTestSuite() { fs::remove_all(dir_); }

  static std::shared_ptr<MediaAsset> asset(const std::string& name) {
    return MediaAsset::make(Url::fileURL(dir_ / name));
  }

  static fs::path path(const std::string& name) { return dir_ / name; }

  static inline fs::path dir_;
};

TEST_F(MediaAssetTest, DurationOfMp4AndMovWhereverTheHeaderIsAndWhateverTheName) {
  EXPECT_DOUBLE_EQ(asset("end.mp4")->duration().seconds(), 3.0);
  EXPECT_DOUBLE_EQ(asset("start.mp4")->duration().seconds(), 3.0);
  EXPECT_DOUBLE_EQ(asset("clip.mov")->duration().seconds(), 2.4);
  EXPECT_NEAR(asset("fragmented.mp4")->duration().seconds(), 4.0, 0.05);
  // Names that are not UTF-8 or look like a protocol.
  for (const std::string& name :
       {std::string("odd\xff\xfe name:with 'quote'.mp4"), std::string("http:x.mp4")}) {
    fs::copy_file(path("end.mp4"), path(name));
    EXPECT_DOUBLE_EQ(asset(name)->duration().seconds(), 3.0) << name;
  }
}

TEST_F(MediaAssetTest, TracksInFileOrderWithTheirKindsAndFrameTimes) {
  auto av = asset("av.mp4");
  auto tracks = av->tracks();
  ASSERT_EQ(tracks.size(), 2u);
  EXPECT_EQ(tracks[0].mediaType, MediaType::video);
  EXPECT_EQ(tracks[1].mediaType, MediaType::audio);
  ASSERT_TRUE(av->firstVideoTrack());
  ASSERT_TRUE(av->firstAudioTrack());
  EXPECT_EQ(av->firstAudioTrack()->trackID, tracks[1].trackID);
  EXPECT_NE(tracks[0].trackID, tracks[1].trackID);

  EXPECT_EQ(av->firstFrameTime(), (MediaTime{0, 1}));
  ASSERT_TRUE(av->lastFrameTime());
  EXPECT_NEAR(av->lastFrameTime()->seconds(), 2.0, 0.05);
  EXPECT_NEAR(asset("fragmented.mp4")->lastFrameTime().value_or(MediaTime{}).seconds(), 4.0, 0.05);

  // An audio-only asset has no video values.
  auto audio = asset("audio.m4a");
  EXPECT_NEAR(audio->duration().seconds(), 2.0, 0.05);
  EXPECT_TRUE(audio->firstAudioTrack());
  EXPECT_FALSE(audio->firstVideoTrack());
  EXPECT_FALSE(audio->lastFrameTime());
  EXPECT_FALSE(audio->videoOrientation());
  EXPECT_FALSE(audio->avCaptureVideoOrientation());
}

TEST_F(MediaAssetTest, OrientationFromTheDisplayMatrix) {
  // ffmpeg's "rotate" tag turns the picture clockwise, so its display matrix holds the
  // negative angle: rotate=90 writes b = -1 (down) and rotate=270 writes b = +1 (up).
  struct Case {
    int rotate;
    VideoOrientation orientation;
    CaptureVideoOrientation capture;
    int number;  // the capture framework's: portrait 1, upside down 2, landscape right 3, left 4
  };
  const std::vector<Case> cases = {
      {0, VideoOrientation::right, CaptureVideoOrientation::landscapeRight, 3},
      {90, VideoOrientation::down, CaptureVideoOrientation::portraitUpsideDown, 2},
      {180, VideoOrientation::left, CaptureVideoOrientation::landscapeLeft, 4},
      {270, VideoOrientation::up, CaptureVideoOrientation::portrait, 1},
  };
  for (const auto& c : cases) {
    const std::string name = "rotated" + std::to_string(c.rotate) + ".mp4";
    auto media = asset(name);
    EXPECT_EQ(media->videoOrientation(), c.orientation) << name;
    EXPECT_EQ(media->avCaptureVideoOrientation(), c.capture) << name;
    EXPECT_EQ(static_cast<int>(*media->avCaptureVideoOrientation()), c.number);
  }
  const auto up = asset("rotated270.mp4")->firstVideoTrack()->preferredTransform;
  EXPECT_EQ(std::vector({up.a, up.b, up.c, up.d}), std::vector({0.0, 1.0, -1.0, 0.0}));
  EXPECT_EQ(asset("end.mp4")->firstVideoTrack()->preferredTransform, AffineTransform::identity());
}

// Writes a, b, c, d (in 16.16 fixed point) into the matrix of the first track header of the
// file, which must hold its header before the media data.
void writeTrackMatrix(const fs::path& file, double a, double b, double c, double d) {
  std::fstream stream(file, std::ios::in | std::ios::out | std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
  const size_t tkhd = bytes.find("tkhd");
  ASSERT_NE(tkhd, std::string::npos);
  const bool version1 = bytes[tkhd + 4] == 1;
  // type, version and flags, times, track id, reserved and duration, then reserved, layer,
  // alternate group, volume and reserved.
  const size_t matrix = tkhd + 4 + 4 + (version1 ? 32 : 20) + 16;
  auto put = [&](size_t index, double value) {
    const auto fixed = static_cast<uint32_t>(static_cast<int32_t>(std::lround(value * 65536)));
    for (int i = 0; i < 4; ++i) {
      bytes[matrix + 4 * index + i] = static_cast<char>((fixed >> (24 - 8 * i)) & 0xff);
    }
  };
  put(0, a);
  put(1, b);
  put(3, c);
  put(4, d);
  stream.seekp(0);
  stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

TEST_F(MediaAssetTest, OrientationTruncatesTheAngle) {
  const double pi = 3.14159265358979323846;
  struct Case {
    double degrees;
    std::optional<VideoOrientation> orientation;
  };
  const std::vector<Case> cases = {
      {90, VideoOrientation::up},
      {-90, VideoOrientation::down},
      {180, VideoOrientation::left},
      {89.99, std::nullopt},
      {45, std::nullopt},
      {0.5, VideoOrientation::right},
      {-0.5, VideoOrientation::right},
      {-179.99, std::nullopt},
  };
  int index = 0;
  for (const auto& c : cases) {
    const std::string name = "matrix" + std::to_string(index++) + ".mp4";
    fs::copy_file(path("start.mp4"), path(name));
    const double r = c.degrees * pi / 180;
    writeTrackMatrix(path(name), std::cos(r), std::sin(r), -std::sin(r), std::cos(r));
    EXPECT_EQ(asset(name)->videoOrientation(), c.orientation) << c.degrees;
  }
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
    EXPECT_TRUE(media->tracks().empty()) << name;
    EXPECT_FALSE(media->firstVideoTrack()) << name;
    EXPECT_FALSE(media->videoOrientation()) << name;
    EXPECT_EQ(media->statusOfValue("tracks"), KeyValueStatus::failed) << name;
  }
  // A file cut after its header still announces the header's duration.
  EXPECT_DOUBLE_EQ(asset("cut-start.mp4")->duration().seconds(), 3.0);

  auto web = MediaAsset::make(*Url::parse("http://127.0.0.1:9/clip.mp4"));
  EXPECT_EQ(web->duration(), MediaTime::zero());
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
