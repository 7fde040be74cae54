#pragma once

#include <string_view>

#include "lumo/Export.h"

namespace lumo {

// Stops the process after a programming error: writes `message` and a newline to standard
// error, then aborts. Used where the library's contract says an operation "stops the process"
// (a missing required service, a forced access to a missing argument).
[[noreturn]] LUMO_API void stopProcess(std::string_view message);

}  // namespace lumo
