#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "lumo/Export.h"
#include "lumo/api/DecodingContainer.h"

namespace lumo {

// The body of "upload/complete": the key of the stored file whose upload finished.
struct LUMO_API CompleteUploadRequest {
  std::string key;  // "key"

  static CompleteUploadRequest decode(DecodingContainer& c) {
    return CompleteUploadRequest{c.decode<std::string>("key")};
  }
  nlohmann::json encode() const { return {{"key", key}}; }

  friend bool operator==(const CompleteUploadRequest&, const CompleteUploadRequest&) = default;
};

}  // namespace lumo
