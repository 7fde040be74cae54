#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <vector>

#include "lumo/Export.h"
#include "lumo/api/DecodingContainer.h"
#include "lumo/api/EncodingError.h"
#include "lumo/support/Result.h"

namespace lumo {

// Encodes models as compact JSON bytes with default settings (each model's declared keys).
//
//   Result<std::vector<std::uint8_t>> body = JSONEncoder().encode(StartUploadRequest{...});
//
// Text that is not valid UTF-8 fails with an `EncodingError` instead of being sent mangled.
class LUMO_API JSONEncoder {
 public:
  template <JSONEncodable T>
  Result<std::vector<std::uint8_t>> encode(const T& value) const {
    return encodeJSON(value.encode());
  }

  // The bytes of `json`, compact.
  static Result<std::vector<std::uint8_t>> encodeJSON(const nlohmann::json& json);
};

}  // namespace lumo
