#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "lumo/Export.h"
#include "lumo/api/DecodingContainer.h"

namespace lumo {

// The body of a non-2xx answer of the service: {"errors": ["text", ...]}. The key is required,
// so an empty object does not decode.
struct LUMO_API ModelErrorResponse {
  std::vector<std::string> errors;  // "errors"

  static ModelErrorResponse decode(DecodingContainer& c) {
    return ModelErrorResponse{c.decode<std::vector<std::string>>("errors")};
  }
  nlohmann::json encode() const { return {{"errors", errors}}; }

  friend bool operator==(const ModelErrorResponse&, const ModelErrorResponse&) = default;
};

}  // namespace lumo
