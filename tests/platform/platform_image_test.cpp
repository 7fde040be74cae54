// PlatformImage: image bytes made by ffmpeg recognised with their size, everything else refused,
// and PNG representations that read back.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "lumo/platform/PlatformImage.h"

namespace lumo {
namespace {

namespace fs = std::filesystem;

class PlatformImageTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string pattern = (fs::temp_directory_path() / "lumo-image-test-XXXXXX").string();
    dir_ = ::mkdtemp(pattern.data());
  }
  static void TearDownTestSuite() { fs::remove_all(dir_); }

  // The bytes of a file ffmpeg makes from `source` (a lavfi graph) with `args`; fails the test
  // when ffmpeg fails.
  static std::vector<std::uint8_t> make(const std::string& name, const std::string& source,
                                        const std::string& args = "") {
    const fs::path out = dir_ / name;
    const std::string command = "ffmpeg -nostdin -loglevel error -y -f lavfi -i '" + source +
                                "' -frames:v 1 " + args + " '" + out.string() + "'";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    std::ifstream in(out, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
  }

  static fs::path dir_;
};

fs::path PlatformImageTest::dir_;

// Each format is recognised with its pixel size and keeps its bytes; its PNG representation
// (a PNG's own bytes) reads back at the same size and, lossy formats included, close to red.
TEST_F(PlatformImageTest, RecognisesEachFormatAndDecodesItToAPNGOfTheSameSizeAndColour) {
  struct Case {
    const char* file;
    const char* args;
    PlatformImage::Format format;
  };
  const Case cases[] = {
      {"a.png", "", PlatformImage::Format::png},
      {"a.jpg", "-pix_fmt yuvj420p", PlatformImage::Format::jpeg},
      {"a.gif", "", PlatformImage::Format::gif},
      {"a.bmp", "", PlatformImage::Format::bmp},
      {"a.tiff", "", PlatformImage::Format::tiff},
      {"a.webp", "-c:v libwebp", PlatformImage::Format::webp},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    // Odd sides on purpose; from RGB, as ffmpeg crops a flat colour's 4:2:0 JPEG to even ones.
    std::vector<std::uint8_t> bytes = make(c.file, "color=c=red:size=67x35,format=rgb24", c.args);
    ASSERT_FALSE(bytes.empty());
    std::optional<PlatformImage> image = PlatformImage::fromData(bytes);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->format(), c.format);
    EXPECT_EQ(image->size(), (PlatformImage::Size{67, 35}));
    EXPECT_EQ(std::vector<std::uint8_t>(image->data().begin(), image->data().end()), bytes);
    std::optional<std::vector<std::uint8_t>> png = image->pngRepresentation();
    ASSERT_TRUE(png);
    if (c.format == PlatformImage::Format::png) {
      EXPECT_EQ(*png, bytes);
    }
    std::optional<PlatformImage> back = PlatformImage::fromData(*png);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->format(), PlatformImage::Format::png);
    EXPECT_EQ(back->size(), (PlatformImage::Size{67, 35}));
    std::optional<std::vector<std::uint8_t>> pixels = back->rgbaPixels();
    ASSERT_TRUE(pixels);
    ASSERT_EQ(pixels->size(), 67u * 35 * 4);
    EXPECT_GT((*pixels)[0], 230);
    EXPECT_LT((*pixels)[1], 40);
    EXPECT_LT((*pixels)[2], 40);
    EXPECT_EQ((*pixels)[3], 255);
  }
}

TEST_F(PlatformImageTest, PixelImagesOfTheRightSizeEncodeWithLibpngAndReadBack) {
  std::vector<std::uint8_t> pixels(5 * 3 * 4);
  for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<std::uint8_t>(i * 7);
  for (std::size_t i = 3; i < pixels.size(); i += 4) pixels[i] = 255;  // opaque
  std::optional<PlatformImage> image = PlatformImage::fromRGBA(5, 3, pixels);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->format(), std::nullopt);
  EXPECT_EQ(image->size(), (PlatformImage::Size{5, 3}));
  EXPECT_TRUE(image->data().empty());
  std::optional<std::vector<std::uint8_t>> png = image->pngRepresentation();
  ASSERT_TRUE(png);
  std::optional<PlatformImage> back = PlatformImage::fromData(*png);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->size(), (PlatformImage::Size{5, 3}));
  EXPECT_EQ(back->rgbaPixels(), pixels);

  // Buffers must match their size.
  EXPECT_FALSE(PlatformImage::fromRGBA(0, 3, {}));
  EXPECT_FALSE(PlatformImage::fromRGBA(-1, 3, std::vector<std::uint8_t>(12)));
  EXPECT_FALSE(PlatformImage::fromRGBA(2, 2, std::vector<std::uint8_t>(15)));
  EXPECT_FALSE(PlatformImage::fromRGBA(65536, 65536, std::vector<std::uint8_t>(4)));
}

TEST_F(PlatformImageTest, BytesThatAreNotAnImageAreRefused) {
  std::vector<std::uint8_t> png = make("cut.png", "testsrc=size=64x64");
  std::mt19937 rng(7);
  std::vector<std::uint8_t> garbage(10 * 1024 * 1024);
  for (auto& b : garbage) b = static_cast<std::uint8_t>(rng());
  const std::string html = "<html><body><h1>Injected fault</h1></body></html>";
  const std::string json = "{\"errors\": [\"injected fau";

  EXPECT_FALSE(PlatformImage::fromData({}));
  EXPECT_FALSE(PlatformImage::fromData(garbage));
  EXPECT_FALSE(PlatformImage::fromData(std::vector<std::uint8_t>(html.begin(), html.end())));
  EXPECT_FALSE(PlatformImage::fromData(std::vector<std::uint8_t>(json.begin(), json.end())));
  // The signature alone, and a PNG cut before its header chunk ends.
  EXPECT_FALSE(PlatformImage::fromData(std::vector<std::uint8_t>(png.begin(), png.begin() + 8)));
  EXPECT_FALSE(PlatformImage::fromData(std::vector<std::uint8_t>(png.begin(), png.begin() + 20)));
  // A video is media, but not an image.
  EXPECT_FALSE(PlatformImage::fromData(make("clip.mp4", "testsrc=size=32x32:duration=1")));
}

// A damaged WebP found by fuzzing (its height lowered from 14130 to 16): the scaler's vector
// code wrote 32 bytes past rows of 520 pixels, and so past the end of the pixel buffer (ASan
// builds saw the heap corrupted).
TEST_F(PlatformImageTest, PixelsOfRowsThatAreNoMultipleOfTheScalersBlockStayInTheirBuffer) {
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
  const auto image = PlatformImage::fromData(std::vector<std::uint8_t>(webp.begin(), webp.end()));
  ASSERT_TRUE(image);
  ASSERT_EQ(image->size(), (PlatformImage::Size{520, 16}));
  const auto pixels = image->rgbaPixels();
  ASSERT_TRUE(pixels);
  EXPECT_EQ(pixels->size(), 520u * 16u * 4u);
  EXPECT_TRUE(image->pngRepresentation());
}

TEST_F(PlatformImageTest, ImagesAreRecognisedConcurrently) {
  const std::vector<std::uint8_t> jpeg = make("many.jpg", "testsrc=size=40x30");
  const std::vector<std::uint8_t> gif = make("many.gif", "testsrc=size=40x30");
  std::vector<std::thread> threads;
  std::atomic<int> recognised{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 10; ++i) {
        auto image = PlatformImage::fromData(t % 2 ? jpeg : gif);
        if (image && image->pngRepresentation()) ++recognised;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(recognised.load(), 40);
}

}  // namespace
}  // namespace lumo
