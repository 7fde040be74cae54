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

// Runs one tool with `text` on its standard input, with the display variables and the path of
// `environment`. True when the tool took all of it and exited successfully by `deadline`; a
// tool still running then is killed with its process group. Any thread; SIGPIPE from a tool
// that exits without reading is held back on the calling thread only.
bool runTool(const Clipboard::Command& command, const Clipboard::Environment& environment,
             std::string_view text, std::chrono::steady_clock::time_point deadline);

// What a read tool gave: the bytes, or the reason there are none.
struct ToolRead {
  std::optional<std::string> bytes;
  std::string problem;
};

// Runs the reading tool that fits `environment` (wl-paste, else xclip) for the clipboard's
// contents as `type`; an empty `type` lists the types offered, one a line. Any thread.
ToolRead readTool(const Clipboard::Environment& environment, std::string_view type,
                  std::chrono::steady_clock::time_point deadline);

}  // namespace lumo::detail
