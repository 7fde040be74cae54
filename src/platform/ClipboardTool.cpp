#include "ClipboardTool.h"

#include <cstdlib>
#include <string>
#include <utility>

#include "lumo/platform/ChildProcess.h"

namespace lumo::detail {

std::string variable(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

bool runTool(const Clipboard::Command& command, const Clipboard::Environment& environment,
             std::string_view text, std::chrono::steady_clock::time_point deadline) {
  ChildProcess::Options options;
  options.arguments.push_back(command.executable);
  options.arguments.insert(options.arguments.end(), command.arguments.begin(),
                           command.arguments.end());
  // The display the tool was chosen for, and no other: an unset one is removed.
  auto set = [&](const char* name, const std::string& value) {
    options.environment.push_back(value.empty() ? std::string(name)
                                                : std::string(name) + "=" + value);
  };
  set("WAYLAND_DISPLAY", environment.waylandDisplay);
  set("DISPLAY", environment.display);
  set("PATH", environment.path);
  options.input = std::string(text);
  // The tool's child that serves the selection keeps its standard streams for as long as it
  // lives: a pipe of ours there would never reach its end.
  options.output = ChildProcess::Stream::discard;
  options.errors = ChildProcess::Stream::discard;
  // A tool still running at the deadline is killed with the child it forked, which would
  // otherwise take the selection later with a text that is no longer the newest.
  return ChildProcess::run(options, deadline).succeeded();
}

}  // namespace lumo::detail
