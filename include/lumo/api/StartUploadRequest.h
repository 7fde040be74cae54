#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "lumo/Export.h"
#include "lumo/api/DecodingContainer.h"

namespace lumo {

// The body of "upload/start": what is about to be uploaded.
struct LUMO_API StartUploadRequest {
  std::string contentType;    // "content_type", e.g. "image/png"
  std::int64_t fileSize = 0;  // "file_size", bytes
  std::string key;            // "key", the file's name in storage

  static StartUploadRequest decode(DecodingContainer& c) {
    StartUploadRequest r;
    r.contentType = c.decode<std::string>("content_type");
    r.fileSize = c.decode<std::int64_t>("file_size");
    r.key = c.decode<std::string>("key");
    return r;
  }
  nlohmann::json encode() const {
    return {{"content_type", contentType}, {"file_size", fileSize}, {"key", key}};
  }

  friend bool operator==(const StartUploadRequest&, const StartUploadRequest&) = default;
};

}  // namespace lumo
