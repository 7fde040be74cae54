#pragma once

#include <nlohmann/json.hpp>

#include "lumo/Export.h"
#include "lumo/api/DecodingContainer.h"

namespace lumo {

// The answer of "upload/delete": nothing is read from it, so any JSON document (an empty 2xx
// body counts as {}) decodes.
struct LUMO_API DeleteUploadResponse {
  static DeleteUploadResponse decode(DecodingContainer&) { return {}; }
  nlohmann::json encode() const { return nlohmann::json::object(); }

  friend bool operator==(const DeleteUploadResponse&, const DeleteUploadResponse&) = default;
};

}  // namespace lumo
