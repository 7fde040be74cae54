#pragma once

#include <curl/curl.h>

#include "lumo/support/Error.h"

namespace lumo::detail {

// The platform's code and sentence for a libcurl failure; libcurl's own explanation follows
// in parentheses.
Error transportError(CURLcode code, const char* detail);

}  // namespace lumo::detail
