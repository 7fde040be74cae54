#pragma once

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumo {

// The desktop's clipboard, reached through the command-line tools that every Linux desktop
// ships:
//
// - `wl-copy` when a Wayland session is running (`WAYLAND_DISPLAY` is set);
// - else `xclip -selection clipboard`, or `xsel --clipboard --input` when xclip is missing,
//   when an X display is set (`DISPLAY`);
// - otherwise, or when every tool fails, the text is kept in memory by this object.
//
// Tools are looked up on `PATH` at every copy, so a tool installed later is found.
//
//   Clipboard::general().setText("https://cdn.example.com/0cc175b9.png");
//
// The tools fork a child that keeps serving the selection after they exit; their output goes
// to /dev/null (a reader of their pipes would wait for that child), they inherit no other file
// descriptor of the host, and the copy gives up after `timeout` (the tool is then killed). A
// tool that exits without reading its input does not raise SIGPIPE in the host: the signal
// is held back on the writing thread only, and the host's dispositions and masks are left
// as they were.
//
// Thread-safe: copies are serialised, so the last `setText` to return is the one on the
// clipboard.
class Clipboard {
 public:
  // Where a copy went.
  enum class Destination { wlCopy, xclip, xsel, memory };

  // What decides the tool: the display variables and the search path. Empty means unset.
  struct Environment {
    std::string waylandDisplay;  // WAYLAND_DISPLAY
    std::string display;         // DISPLAY
    std::string path;            // PATH

    // The variables of the running process.
    static Environment current();
  };

  // A tool found for an environment: the executable's path and its arguments.
  struct Command {
    Destination destination = Destination::memory;
    std::string executable;
    std::vector<std::string> arguments;
  };

  static constexpr std::chrono::milliseconds kDefaultTimeout{5'000};

  // The process-wide clipboard, following the process's environment; created on first use
  // and never destroyed.
  static Clipboard& general();

  // A clipboard that reads the process's environment at every copy.
  Clipboard();
  // A clipboard bound to `environment`: the tools are looked up on its `path` and run with
  // its display variables (the rest of their environment is the process's).
  explicit Clipboard(Environment environment, std::chrono::milliseconds timeout = kDefaultTimeout);

  Clipboard(const Clipboard&) = delete;
  Clipboard& operator=(const Clipboard&) = delete;

  // Replaces the clipboard's contents with `text` and says where it went. Tries the tools
  // that fit the environment in order; falls back to memory when none is usable or all of
  // them failed. Never fails and never waits longer than the timeout per tool.
  Destination setText(std::string_view text);

  // The text kept in memory by the last copy that fell back to memory; absent when no copy
  // did.
  std::optional<std::string> memoryText() const;

  // The tools that `environment` calls for, in the order they are tried. Empty when neither
  // display is set or no tool is on the path.
  static std::vector<Command> commandsFor(const Environment& environment);

 private:
  std::optional<Environment> environment_;  // fixed at construction; absent: the process's
  std::chrono::milliseconds timeout_;

  mutable std::mutex mu_;                  // serialises copies and guards memory_
  std::optional<std::string> memoryText_;  // guarded by mu_
};

// The name of a destination, for log lines ("xclip", "memory").
std::string_view toString(Clipboard::Destination destination);

}  // namespace lumo
