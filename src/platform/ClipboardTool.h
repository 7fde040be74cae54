#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "lumo/platform/Clipboard.h"

// The command-line clipboard tools (wl-copy, xclip, xsel) as `Clipboard` runs them.
namespace lumo::detail {

// The value of the environment variable `name`; empty when unset.
std::string variable(const char* name);

// Runs one tool with `text` on its standard input, with the display variables and the path of
// `environment`. True when the tool took all of it and exited successfully by `deadline`; a
// tool still running then is killed with its process group. Any thread; SIGPIPE from a tool
// that exits without reading is held back on the calling thread only.
bool runTool(const Clipboard::Command& command, const Clipboard::Environment& environment,
             std::string_view text, std::chrono::steady_clock::time_point deadline);

}  // namespace lumo::detail
