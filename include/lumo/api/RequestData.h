#pragma once

#include <nlohmann/json.hpp>
#include <optional>

#include "lumo/Export.h"
#include "lumo/api/Endpoint.h"
#include "lumo/api/HTTPMethod.h"

namespace lumo {

// The record of one API call, handed with its outcome to the response step: the request body
// (as the JSON it encodes to; absent for calls without a body), the endpoint and the method.
struct LUMO_API RequestData {
  std::optional<nlohmann::json> body;
  Endpoint endpoint = Endpoint::me();
  HTTPMethod method = HTTPMethod::get;
};

}  // namespace lumo
