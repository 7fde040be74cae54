#include "ClipboardTool.h"

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "lumo/platform/ChildProcess.h"

namespace lumo::detail {

std::string variable(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

namespace {

// The options that run `arguments` with the display variables and the path of `environment`,
// and no other display: an unset one is removed.
ChildProcess::Options toolOptions(std::vector<std::string> arguments,
                                  const Clipboard::Environment& environment) {
  ChildProcess::Options options;
  options.arguments = std::move(arguments);
  auto set = [&](const char* name, const std::string& value) {
    options.environment.push_back(value.empty() ? std::string(name)
                                                : std::string(name) + "=" + value);
  };
  set("WAYLAND_DISPLAY", environment.waylandDisplay);
  set("DISPLAY", environment.display);
  set("PATH", environment.path);
  return options;
}

}  // namespace

bool runTool(const Clipboard::Command& command, const Clipboard::Environment& environment,
             std::string_view text, std::chrono::steady_clock::time_point deadline) {
  std::vector<std::string> arguments{command.executable};
  arguments.insert(arguments.end(), command.arguments.begin(), command.arguments.end());
  ChildProcess::Options options = toolOptions(std::move(arguments), environment);
  options.input = std::string(text);
  // The tool's child that serves the selection keeps its standard streams for as long as it
  // lives: a pipe of ours there would never reach its end.
  options.output = ChildProcess::Stream::discard;
  options.errors = ChildProcess::Stream::discard;
  // A tool still running at the deadline is killed with the child it forked, which would
  // otherwise take the selection later with a text that is no longer the newest.
  return ChildProcess::run(options, deadline).succeeded();
}

ToolRead readTool(const Clipboard::Environment& environment, std::string_view type,
                  std::chrono::steady_clock::time_point deadline) {
  const bool wayland = !environment.waylandDisplay.empty();
  if (!wayland && environment.display.empty()) return {std::nullopt, "no display is set"};
  const char* const tool = wayland ? "wl-paste" : "xclip";
  const auto path = ChildProcess::findProgram(tool, environment.path);
  if (!path) return {std::nullopt, std::string(tool) + " is not installed"};
  std::vector<std::string> arguments{*path};
  if (wayland) {
    if (type.empty()) arguments.emplace_back("--list-types");
    if (!type.empty())
      arguments.insert(arguments.end(), {"--no-newline", "--type", std::string(type)});
  } else {
    arguments.insert(arguments.end(), {"-o", "-selection", "clipboard", "-t",
                                       type.empty() ? "TARGETS" : std::string(type)});
  }
  ChildProcess::Options options = toolOptions(std::move(arguments), environment);
  options.output = ChildProcess::Stream::capture;
  auto result = ChildProcess::run(options, deadline);
  if (!result.succeeded()) return {std::nullopt, result.describe()};
  return {std::move(result.output), {}};
}

}  // namespace lumo::detail
