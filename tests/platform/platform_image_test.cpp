// PlatformImage: image bytes made by ffmpeg recognised with their size, everything else refused,
// and PNG representations that read back.

#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "../common/TestFiles.h"
#include "lumo/platform/PlatformImage.h"

namespace lumo {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Format = PlatformImage::Format;

// The bytes of a file ffmpeg makes from `source` (a lavfi graph) with `args`.
Bytes make(const std::string& name, const std::string& source, const std::string& args = "") {
  static const testing_files::TempDir dir;
  testing_files::run("ffmpeg -nostdin -loglevel error -y -f lavfi -i '" + source +
                     "' -frames:v 1 " + args + " '" + (dir / name).string() + "'");
  const std::string bytes = testing_files::readFile(dir / name);
  return Bytes(bytes.begin(), bytes.end());
}

// Each format is recognised with its pixel size and keeps its bytes; its PNG representation
// reads back at the same size and, lossy formats included, close to red. Recognition runs on
// several threads at once.
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
      SCOPED_TRACE(file);
      const auto image = PlatformImage::fromData(bytes);
      ASSERT_TRUE(image);
      EXPECT_EQ(image->format(), format);
      EXPECT_EQ(image->size(), (PlatformImage::Size{67, 35}));
      EXPECT_TRUE(
          std::equal(bytes.begin(), bytes.end(), image->data().begin(), image->data().end()));
      const auto png = image->pngRepresentation();
      ASSERT_TRUE(png);
      EXPECT_TRUE(format != Format::png || *png == bytes);
      const auto back = PlatformImage::fromData(*png);
      ASSERT_TRUE(back && back->format() == Format::png);
      EXPECT_EQ(back->size(), (PlatformImage::Size{67, 35}));
      const Bytes pixels = back->rgbaPixels().value_or(Bytes(4));
      ASSERT_EQ(pixels.size(), 67u * 35 * 4);
      EXPECT_TRUE(pixels[0] > 230 && pixels[1] < 40 && pixels[2] < 40 && pixels[3] == 255);
    });
  }
  for (auto& thread : threads) thread.join();
}

TEST(PlatformImageTest, PixelImagesOfTheRightSizeEncodeAndReadBack) {
  Bytes pixels(5 * 3 * 4);
  for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = i % 4 == 3 ? 255 : i * 7 % 256;
  const auto image = PlatformImage::fromRGBA(5, 3, pixels);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->format(), std::nullopt);
  EXPECT_TRUE(image->data().empty());
  const auto back = PlatformImage::fromData(image->pngRepresentation().value_or(Bytes()));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->size(), (PlatformImage::Size{5, 3}));
  EXPECT_EQ(back->rgbaPixels(), pixels);
  EXPECT_FALSE(PlatformImage::fromRGBA(0, 3, {}) || PlatformImage::fromRGBA(-1, 3, Bytes(12)) ||
               PlatformImage::fromRGBA(2, 2, Bytes(15)) ||
               PlatformImage::fromRGBA(65536, 65536, Bytes(4)));
}

TEST(PlatformImageTest, BytesThatAreNotAnImageAreRefused) {
  const Bytes png = make("cut.png", "testsrc=size=64x64");
  std::mt19937 rng(7);
  Bytes garbage(10 * 1024 * 1024);
  for (auto& b : garbage) b = static_cast<std::uint8_t>(rng());
  const std::string html = "<html><body><h1>Injected fault</h1></body></html>";
  for (const Bytes& bytes :
       {Bytes{}, garbage, Bytes(html.begin(), html.end()), Bytes(png.begin(), png.begin() + 8),
        Bytes(png.begin(), png.begin() + 20), make("clip.mp4", "testsrc=size=32x32:duration=1")}) {
    EXPECT_FALSE(PlatformImage::fromData(bytes)) << bytes.size();
  }
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
  EXPECT_EQ(image->rgbaPixels().value_or(Bytes()).size(), 520u * 16u * 4u);
  EXPECT_TRUE(image->pngRepresentation());
}

}  // namespace
}  // namespace lumo
