#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "lumo/Export.h"
#include "lumo/api/DecodingContainer.h"
#include "lumo/api/PreSignedPost.h"
#include "lumo/platform/Url.h"

namespace lumo {

// The answer of "upload/start": the storage key and the presigned post to send the file with.
struct LUMO_API StartUploadResponse {
  std::string key;              // "key"
  PreSignedPost presignedPost;  // "presigned_post"

  // `presignedPost.url` as a URL; absent when that text is not a URL.
  std::optional<Url> uploadUrl() const { return Url::parse(presignedPost.url); }

  static StartUploadResponse decode(DecodingContainer& c) {
    StartUploadResponse r;
    r.key = c.decode<std::string>("key");
    r.presignedPost = c.decode<PreSignedPost>("presigned_post");
    return r;
  }
  nlohmann::json encode() const {
    return {{"key", key}, {"presigned_post", presignedPost.encode()}};
  }

  friend bool operator==(const StartUploadResponse&, const StartUploadResponse&) = default;
};

}  // namespace lumo
