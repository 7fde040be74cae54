#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "lumo/Export.h"
#include "lumo/api/DecodingContainer.h"

namespace lumo {

// The form fields the storage demands with a presigned upload, posted before the file.
struct LUMO_API PresignedFields {
  std::string aWSAccessKeyId;  // "AWSAccessKeyId"
  std::string acl;             // "acl"
  std::string key;             // "key"
  std::string policy;          // "policy"
  std::string signature;       // "signature"

  static PresignedFields decode(DecodingContainer& c) {
    PresignedFields f;
    f.aWSAccessKeyId = c.decode<std::string>("AWSAccessKeyId");
    f.acl = c.decode<std::string>("acl");
    f.key = c.decode<std::string>("key");
    f.policy = c.decode<std::string>("policy");
    f.signature = c.decode<std::string>("signature");
    return f;
  }
  nlohmann::json encode() const {
    return {{"AWSAccessKeyId", aWSAccessKeyId},
            {"acl", acl},
            {"key", key},
            {"policy", policy},
            {"signature", signature}};
  }

  friend bool operator==(const PresignedFields&, const PresignedFields&) = default;
};

}  // namespace lumo
