#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "lumo/Export.h"

namespace lumo {

// The outcome of an exchange that ended with a 2xx status: the status and the body exactly as
// the session delivered it (possibly empty).
struct LUMO_API HTTPResponse {
  std::int64_t statusCode = 0;
  std::optional<std::vector<std::uint8_t>> data;

  friend bool operator==(const HTTPResponse&, const HTTPResponse&) = default;
};

}  // namespace lumo
