// Image recognition and the media reader on arbitrary bytes. The first byte picks the reader:
// `PlatformImage` (recognised from memory, then decoded to pixels and to PNG) or `MediaAsset`
// (the bytes as a video file, read synchronously).
#include <cstdint>
#include <span>

#include "FuzzSupport.h"
#include "lumo/platform/MediaAsset.h"
#include "lumo/platform/PlatformImage.h"
#include "lumo/platform/Url.h"

using namespace lumo;

namespace {

void recogniseImage(std::span<const std::uint8_t> bytes) {
  const std::optional<PlatformImage> image = PlatformImage::fromData(bytes);
  if (!image) return;
  LUMO_FUZZ_CHECK(image->format().has_value(), "an encoded image without a format");
  LUMO_FUZZ_CHECK(image->pixelsWide() > 0 && image->pixelsHigh() > 0, "an image without a size");
  LUMO_FUZZ_CHECK(image->data().size() == bytes.size(), "the image does not keep its bytes");
  // A few header bytes can announce 2^28 pixels; decoding those takes seconds, which would
  // leave the run no time to explore. Small sizes reach the same code.
  constexpr std::int64_t kMaxDecodedPixels = std::int64_t{1} << 20;
  if (std::int64_t{image->pixelsWide()} * image->pixelsHigh() > kMaxDecodedPixels) return;
  if (const auto pixels = image->rgbaPixels())
    LUMO_FUZZ_CHECK(pixels->size() == static_cast<std::size_t>(image->pixelsWide()) *
                                          static_cast<std::size_t>(image->pixelsHigh()) * 4,
                    "the pixels do not match the size");
  const auto png = image->pngRepresentation();
  if (png && image->format() != PlatformImage::Format::png) {
    // What we encode must read back as a PNG of the same size.
    const auto back = PlatformImage::fromData(*png);
    LUMO_FUZZ_CHECK(back && back->format() == PlatformImage::Format::png &&
                        back->pixelsWide() == image->pixelsWide() &&
                        back->pixelsHigh() == image->pixelsHigh(),
                    "the PNG representation does not read back");
  }
}

void readMedia(std::span<const std::uint8_t> bytes) {
  static const auto path = fuzz::scratchFolder() / "clip.mp4";
  fuzz::writeFile(path, fuzz::asText(bytes.data(), bytes.size()));
  const auto asset = MediaAsset::make(Url::fileURL(path));
  const MediaTime duration = asset->duration();
  LUMO_FUZZ_CHECK(duration.isValid(), "an invalid duration");
  const auto status = asset->statusOfValue(MediaAsset::kTracksKey);
  LUMO_FUZZ_CHECK(status == KeyValueStatus::loaded || status == KeyValueStatus::failed,
                  "the asset is not loaded after a synchronous read");
  const std::vector<MediaTrack> tracks = asset->tracks();
  if (status == KeyValueStatus::failed)
    LUMO_FUZZ_CHECK(tracks.empty() && duration == MediaTime::zero(), "a failed asset has values");
  (void)asset->firstAudioTrack(), (void)asset->lastFrameTime();
  (void)asset->avCaptureVideoOrientation();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  (data[0] & 1 ? readMedia : recogniseImage)(std::span<const std::uint8_t>(data + 1, size - 1));
  return 0;
}
