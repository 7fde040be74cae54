#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "lumo/Export.h"

namespace lumo {

// The HTTP methods, each with its wire string as raw value.
//
//   rawValue(HTTPMethod::post)      // "POST"
//   httpMethodFromRawValue("GET")   // HTTPMethod::get
//   httpMethodFromRawValue("get")   // nullopt: matching is case-sensitive
enum class HTTPMethod { options, get, head, post, put, patch, delete_, trace, connect };

// The wire string of `method` ("OPTIONS", "GET", ..., "CONNECT"). `delete_` carries a trailing
// underscore only because `delete` is a C++ keyword; its wire string is "DELETE".
LUMO_API std::string rawValue(HTTPMethod method);

// The method whose wire string is exactly `raw`, or nothing.
LUMO_API std::optional<HTTPMethod> httpMethodFromRawValue(std::string_view raw);

}  // namespace lumo
