#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace lumo {

// The image formats in which screenshots are written.
enum class ImageFormat : std::uint8_t { png, jpeg };

// Every format, in declaration order.
inline constexpr std::array<ImageFormat, 2> kAllImageFormats = {ImageFormat::png,
                                                                ImageFormat::jpeg};

// The file type (extension) written for `format`: "png" or "jpeg" (never "jpg").
constexpr std::string_view fileType(ImageFormat format) {
  switch (format) {
    case ImageFormat::png:
      return "png";
    case ImageFormat::jpeg:
      return "jpeg";
  }
  return "png";
}

}  // namespace lumo
