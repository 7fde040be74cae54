#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "lumo/Export.h"
#include "lumo/api/DecodingContainer.h"

namespace lumo {

// The body of "upload/delete": the key of the stored file to delete.
struct LUMO_API DeleteUploadRequest {
  std::string key;  // "key"

  static DeleteUploadRequest decode(DecodingContainer& c) {
    return DeleteUploadRequest{c.decode<std::string>("key")};
  }
  nlohmann::json encode() const { return {{"key", key}}; }

  friend bool operator==(const DeleteUploadRequest&, const DeleteUploadRequest&) = default;
};

}  // namespace lumo
