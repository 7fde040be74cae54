#pragma once

#include <nlohmann/json.hpp>

#include "lumo/Export.h"
#include "lumo/api/DecodingContainer.h"

namespace lumo {

// The answer of "upload/complete": nothing is read from it, so any JSON document (an empty 2xx
// body counts as {}) decodes.
struct LUMO_API CompleteUploadResponse {
  static CompleteUploadResponse decode(DecodingContainer&) { return {}; }
  nlohmann::json encode() const { return nlohmann::json::object(); }

  friend bool operator==(const CompleteUploadResponse&, const CompleteUploadResponse&) = default;
};

}  // namespace lumo
