#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "lumo/platform/Clipboard.h"

// The command-line clipboard tools (wl-copy, xclip, xsel) as `Clipboard` runs them.
namespace lumo::detail {

// The value of the environment variable `name`; empty when unset.
std::string variable(const char* name);

// The executable called `name` in the first folder of `path` that has one. An empty entry
// of the path stands for the current folder, as for the shell; no path at all means the
// system's default one.
std::optional<std::string> findOnPath(std::string_view name, std::string_view path);

// Runs one tool with `text` on its standard input, with the display variables and the path of
// `environment`. True when the tool took all of it and exited successfully by `deadline`; a
// tool still running then is killed with its process group. Any thread; SIGPIPE from a tool
// that exits without reading is held back on the calling thread only.
bool runTool(const Clipboard::Command& command, const Clipboard::Environment& environment,
             std::string_view text, std::chrono::steady_clock::time_point deadline);

}  // namespace lumo::detail
