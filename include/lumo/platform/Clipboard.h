#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lumo/Export.h"

namespace lumo {

class XSelectionOwner;

// The desktop's clipboard:
//
// - on X (`DISPLAY` set, no `WAYLAND_DISPLAY`), this object owns the CLIPBOARD selection
//   itself: a connection to the display and one thread of its own answer the requests of the
//   applications that paste (UTF8_STRING, STRING, TEXT, text/plain;charset=utf-8). A copy
//   costs one round trip to the server and starts no process;
// - `wl-copy` when a Wayland session is running (`WAYLAND_DISPLAY` is set);
// - `xclip -selection clipboard`, or `xsel --clipboard --input` when xclip is missing, when an
//   X display is set but cannot be owned in-process (no connection, or a text larger than one
//   X request);
// - otherwise, or when every tool fails, the text is kept in memory by this object.
//
// Tools are looked up on `PATH` at every copy, so a tool installed later is found.
//
//   Clipboard::general().setText("https://cdn.example.com/0cc175b9.png");
//   ...
//   Clipboard::general().handOff();  // before a command-line host exits
//
// An X selection lives only as long as its owner: when the process exits, the link would go
// with it. `handOff` (also run by the destructor) gives a selection we still own to a tool,
// whose child keeps serving it after the process has gone. `general()` is never destroyed, so
// a host that exits while its link should stay pasteable calls `handOff` itself.
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
class LUMO_API Clipboard {
 public:
  // Where a copy went.
  // `x11`: owned by this object on the X display.
  enum class Destination { x11, wlCopy, xclip, xsel, memory };

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
  // and never destroyed (see `handOff`).
  static Clipboard& general();

  // A clipboard that reads the process's environment at every copy.
  Clipboard();
  // A clipboard bound to `environment`: the tools are looked up on its `path` and run with
  // its display variables (the rest of their environment is the process's).
  explicit Clipboard(Environment environment, std::chrono::milliseconds timeout = kDefaultTimeout);

  // Hands the selection off first, if it still owns one.
  ~Clipboard();

  Clipboard(const Clipboard&) = delete;
  Clipboard& operator=(const Clipboard&) = delete;

  // Replaces the clipboard's contents with `text` and says where it went. Tries the tools
  // that fit the environment in order; falls back to memory when none is usable or all of
  // them failed. Never fails and never waits longer than the timeout per tool.
  Destination setText(std::string_view text);

  // If this object still owns the X selection (no other application has taken it since),
  // gives its text to the first tool that takes it, so that it stays on the clipboard after
  // the process exits, and lets the display go; says where the text went (memory when no
  // tool took it). Absent when there was nothing of ours to hand off. Later copies take the
  // selection again.
  std::optional<Destination> handOff();

  // Where the last copy went; absent before the first.
  std::optional<Destination> lastDestination() const;

  // The text kept in memory by the last copy that fell back to memory; absent when no copy
  // did.
  std::optional<std::string> memoryText() const;

  // The tools that `environment` calls for, in the order they are tried after the in-process
  // owner. Empty when neither display is set or no tool is on the path.
  static std::vector<Command> commandsFor(const Environment& environment);

 private:
  std::optional<Environment> environment_;  // fixed at construction; absent: the process's
  std::chrono::milliseconds timeout_;

  mutable std::mutex mu_;                       // serialises copies and hand-offs
  std::unique_ptr<XSelectionOwner> x11_;        // guarded by mu_; absent: not connected
  std::optional<std::string> memoryText_;       // guarded by mu_
  std::optional<Destination> lastDestination_;  // guarded by mu_
};

// The name of a destination, for log lines ("x11", "xclip", "memory").
LUMO_API std::string_view toString(Clipboard::Destination destination);

}  // namespace lumo
