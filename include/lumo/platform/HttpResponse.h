#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "lumo/Export.h"
#include "lumo/platform/Url.h"

namespace lumo {

// The HTTP answer to a request: status, header fields and the address that answered (the
// last one after redirects). The body travels separately, in the task's completion.
struct LUMO_API HttpResponse {
  Url url;
  std::int64_t statusCode = 0;
  // The header fields of the final answer, in the order received, names as sent.
  std::vector<std::pair<std::string, std::string>> headerFields;

  // The value of `field` (case-insensitive); several values are joined with ", ", as the
  // desktop's header dictionary does.
  std::optional<std::string> value(std::string_view field) const;
  // The Content-Length of the answer, when it gave a valid one.
  std::optional<std::int64_t> expectedContentLength() const;
};

}  // namespace lumo
