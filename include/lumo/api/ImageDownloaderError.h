#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "lumo/Export.h"

namespace lumo {

// Why an image download failed.
//
//   badResponse(status, body)  "Bad response. Status code is <status>"
//   cancelledTask              "Request is cancelled"
//   invalidResponse            "Invalid response"   (no answer, or a 2xx answer without body)
//   dataIsntImage              "Data isn't image"
class LUMO_API ImageDownloaderError {
 public:
  enum class Kind { badResponse, cancelledTask, invalidResponse, dataIsntImage };

  static ImageDownloaderError badResponse(std::int64_t statusCode,
                                          std::optional<std::vector<std::uint8_t>> data) {
    return ImageDownloaderError(Kind::badResponse, statusCode, std::move(data));
  }
  static ImageDownloaderError cancelledTask() { return ImageDownloaderError(Kind::cancelledTask); }
  static ImageDownloaderError invalidResponse() {
    return ImageDownloaderError(Kind::invalidResponse);
  }
  static ImageDownloaderError dataIsntImage() { return ImageDownloaderError(Kind::dataIsntImage); }

  Kind kind() const { return kind_; }
  std::int64_t statusCode() const { return statusCode_; }
  const std::optional<std::vector<std::uint8_t>>& data() const { return data_; }

  std::optional<std::string> errorDescription() const;

  friend bool operator==(const ImageDownloaderError&, const ImageDownloaderError&) = default;

 private:
  explicit ImageDownloaderError(Kind kind, std::int64_t statusCode = 0,
                                std::optional<std::vector<std::uint8_t>>&& data = {})
      : kind_(kind), statusCode_(statusCode), data_(taken(std::move(data))) {}

  // Moves the bytes out only when there are some: moving a disengaged optional vector makes
  // g++ 12 warn (-Wmaybe-uninitialized) in optimised builds.
  static std::optional<std::vector<std::uint8_t>> taken(
      std::optional<std::vector<std::uint8_t>>&& data) {
    if (!data) return std::nullopt;
    return std::optional<std::vector<std::uint8_t>>(std::move(*data));
  }

  Kind kind_;
  std::int64_t statusCode_;
  std::optional<std::vector<std::uint8_t>> data_;
};

LUMO_API std::string localizedDescription(const ImageDownloaderError& error);

}  // namespace lumo
