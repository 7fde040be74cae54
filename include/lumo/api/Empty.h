#pragma once

#include <nlohmann/json.hpp>

#include "lumo/Export.h"
#include "lumo/api/DecodingContainer.h"

namespace lumo {

// A body without fields: encodes as {} and decodes from any JSON document. The request-body
// type of calls that send nothing (GET "profile/me").
struct LUMO_API Empty {
  static Empty decode(DecodingContainer&) { return {}; }
  nlohmann::json encode() const { return nlohmann::json::object(); }

  friend bool operator==(const Empty&, const Empty&) = default;
};

}  // namespace lumo
