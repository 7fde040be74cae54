#include "lumo/api/ImageDownloaderError.h"

namespace lumo {

std::optional<std::string> ImageDownloaderError::errorDescription() const {
  switch (kind_) {
    case Kind::badResponse:
      return "Bad response. Status code is " + std::to_string(statusCode_);
    case Kind::cancelledTask:
      return "Request is cancelled";
    case Kind::invalidResponse:
      return "Invalid response";
    case Kind::dataIsntImage:
      return "Data isn't image";
  }
  return std::nullopt;
}

std::string localizedDescription(const ImageDownloaderError& error) {
  return error.errorDescription().value_or("Invalid response");
}

}  // namespace lumo
