#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "lumo/Export.h"
#include "lumo/api/DecodingContainer.h"
#include "lumo/api/PresignedFields.h"

namespace lumo {

// Where and with which fields the multipart form of an upload is posted.
struct LUMO_API PreSignedPost {
  std::string url;         // "url", the storage address
  PresignedFields fields;  // "fields"

  static PreSignedPost decode(DecodingContainer& c) {
    PreSignedPost p;
    p.url = c.decode<std::string>("url");
    p.fields = c.decode<PresignedFields>("fields");
    return p;
  }
  nlohmann::json encode() const { return {{"url", url}, {"fields", fields.encode()}}; }

  friend bool operator==(const PreSignedPost&, const PreSignedPost&) = default;
};

}  // namespace lumo
