#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "lumo/Export.h"

namespace lumo {

// An image as the library hands it around: either encoded bytes of a recognised format, or
// RGBA pixels. It stands where the desktop has its image class.
//
//   auto image = PlatformImage::fromData(bytes);   // nullopt: the bytes are not an image
//   image->format();                               // PlatformImage::Format::jpeg
//   image->size();                                 // {640, 480}: points equal pixels here
//   auto png = image->pngRepresentation();         // PNG bytes
//
// Encoded bytes are recognised by FFmpeg's demuxers (PNG, JPEG, GIF, BMP, WebP and TIFF, read
// from memory, never from a file name) and must yield a positive pixel size; anything else is
// not an image. The PNG representation of a PNG is its own bytes; other formats are decoded
// (first frame) and pixels are encoded with libpng.
//
// An image is immutable and cheap to copy: copies share the bytes. Safe to use from any thread.
class LUMO_API PlatformImage {
 public:
  enum class Format { png, jpeg, gif, bmp, webp, tiff };

  // A size in points.
  struct Size {
    double width = 0;
    double height = 0;
    friend bool operator==(const Size&, const Size&) = default;
  };

  // The image encoded in `data`, or nullopt when the bytes are not one of the formats above,
  // or are damaged so that no size can be read.
  static std::optional<PlatformImage> fromData(std::span<const std::uint8_t> data);

  // An image of `width` x `height` RGBA pixels (8 bits per channel, straight alpha, rows from
  // the top, no padding), or nullopt when a side is not positive or `pixels` has another size.
  static std::optional<PlatformImage> fromRGBA(int width, int height,
                                               std::vector<std::uint8_t> pixels);

  // The encoded format; nullopt for pixel images.
  std::optional<Format> format() const { return format_; }
  int pixelsWide() const { return width_; }
  int pixelsHigh() const { return height_; }
  // The size in points, equal to the size in pixels.
  Size size() const { return Size{static_cast<double>(width_), static_cast<double>(height_)}; }

  // The encoded bytes; empty for pixel images.
  std::span<const std::uint8_t> data() const;

  // The image as PNG bytes, or nullopt when encoded bytes that looked like an image fail to
  // decode.
  std::optional<std::vector<std::uint8_t>> pngRepresentation() const;

  // The RGBA pixels (see `fromRGBA`); decoded from the bytes of encoded images (first frame).
  std::optional<std::vector<std::uint8_t>> rgbaPixels() const;

 private:
  PlatformImage() = default;

  std::optional<Format> format_;
  int width_ = 0;
  int height_ = 0;
  // Encoded bytes (when format_ is set) or RGBA pixels; shared between copies.
  std::shared_ptr<const std::vector<std::uint8_t>> bytes_;
};

}  // namespace lumo
