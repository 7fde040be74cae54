#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lumo/Export.h"

namespace lumo {

// The desktop's clipboard:
//
// - on X (`DISPLAY` set, no `WAYLAND_DISPLAY`), this object owns the CLIPBOARD selection
//   itself: a connection to the display and one thread of its own answer the requests of the
//   applications that paste (TARGETS, TIMESTAMP, MULTIPLE, UTF8_STRING, STRING, TEXT,
//   text/plain;charset=utf-8). A copy costs two round trips to the server and starts no
//   process before it returns;
// - on Wayland (`WAYLAND_DISPLAY` set), this object owns the selection itself as well where the
//   compositor offers the data-control protocol (wlroots compositors such as sway, KDE): again
//   no process before the copy returns;
// - `wl-copy` on a compositor without data-control (GNOME), which is slower: the copy waits
//   for the tool;
// - `xclip -selection clipboard`, or `xsel --clipboard --input` when xclip is missing, when an
//   X display is set but cannot be owned in-process (no connection, or a text larger than one
//   X request);
// - otherwise, or when every tool fails, the text is kept in memory by this object.
//
// Tools are looked up on `PATH` at every copy, so a tool installed later is found.
//
//   Clipboard::general().setText("https://cdn.example.com/0cc175b9.png");
//
// What a copy promises:
// - `setText` returns once the text can be pasted, and no earlier;
// - it returns within the timeout (5 s by default) whatever the display does: a display that
//   never answers costs the timeout once, and the text then goes to memory (`lastProblem`
//   says why);
// - the text outlives the process. A selection lives only as long as its owner, so right
//   after the in-process copy a background hand-off gives the text to a tool (xclip or xsel on
//   X, wl-copy on Wayland), whose child keeps serving it after we exit. The first copy registers an
//   exit handler that waits, at most 2 s, for a hand-off still in flight; hosts call nothing on
//   their way out. Only a SIGKILL within the hand-off itself (about 0.1 s after a copy) can lose
//   the text; after that, nothing does;
// - the last `setText` to return wins. A copy waits for the hand-off of the one before it,
//   so that hand-off never takes the selection from the newer text, and a hand-off gives up
//   when another client took the selection before it started.
//
// The tools fork a child that keeps serving the selection after they exit; their output goes
// to /dev/null (a reader of their pipes would wait for that child), they inherit no other file
// descriptor of the host, and they are killed when they outlast the copy's time. A tool that
// exits without reading its input does not raise SIGPIPE in the host: the signal is held back
// on the writing thread only, and the host's dispositions and masks are left as they were.
//
// Thread-safe: every member may be called from any thread. Copies are serialised; the
// accessors never wait for a copy in progress.
class LUMO_API Clipboard {
 public:
  // Where a copy went.
  // `x11`, `wayland`: owned by this object on the X display, on the Wayland compositor.
  enum class Destination { x11, wayland, wlCopy, xclip, xsel, memory };

  // What decides the tool: the display variables and the search path. Empty means unset.
  struct Environment {
    std::string waylandDisplay;  // WAYLAND_DISPLAY
    std::string display;         // DISPLAY
    std::string path;            // PATH
    // False: always use the tools, never the in-process owner (for comparisons, and to stand
    // for a compositor without data-control).
    bool inProcessOwner = true;

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
  // How long the process's exit waits for a hand-off still in flight.
  static constexpr std::chrono::milliseconds kExitWait{2'000};

  // The process-wide clipboard, following the process's environment; created on first use
  // and never destroyed.
  static Clipboard& general();

  // A clipboard that reads the process's environment at every copy.
  Clipboard();
  // A clipboard bound to `environment`: the tools are looked up on its `path` and run with
  // its display variables (the rest of their environment is the process's). `timeout` bounds
  // each copy as a whole.
  explicit Clipboard(Environment environment, std::chrono::milliseconds timeout = kDefaultTimeout);

  // Waits for a hand-off in flight (at most `kExitWait`); the text stays with the tool.
  ~Clipboard();

  Clipboard(const Clipboard&) = delete;
  Clipboard& operator=(const Clipboard&) = delete;

  // Replaces the clipboard's contents with `text` and says where it went. Tries the
  // in-process owner, then the tools that fit the environment in order; falls back to memory
  // when none is usable, all of them failed or the timeout ran out. Never fails.
  Destination setText(std::string_view text);

  // Not needed any more: every in-process copy is handed off on its own. Waits (at most the
  // timeout) for the hand-off of the last copy and says where its text went (memory when no
  // tool took it). Absent when the last copy was not owned in-process, or another client took
  // the selection before the hand-off started.
  std::optional<Destination> handOff();

  // Reading: through `wl-paste` on Wayland and `xclip -o` on X (which takes contents larger
  // than one request in parts), run to their end or to `deadline`, when they are killed.

  // The types the contents are offered as: MIME types ("image/png", "text/uri-list") and, on X,
  // the other targets ("UTF8_STRING", "TARGETS"). Empty when nothing is copied or the clipboard
  // cannot be read (`lastProblem` says why).
  std::vector<std::string> types(std::chrono::steady_clock::time_point deadline);

  // The contents as `mimeType`, byte for byte; absent when they are not offered as that type or
  // cannot be read by `deadline` (`lastProblem` says why).
  std::optional<std::string> read(std::string_view mimeType,
                                  std::chrono::steady_clock::time_point deadline);

  // Where the last copy went; absent before the first.
  std::optional<Destination> lastDestination() const;

  // The text kept in memory by the last copy that fell back to memory; absent when no copy
  // did.
  std::optional<std::string> memoryText() const;

  // Why the last copy did not go to the first destination that fits the environment (the
  // display did not answer in time, a tool failed...), for the host's log; absent when it did.
  // After a read that found nothing, why ("xclip is not installed", the tool's error).
  std::optional<std::string> lastProblem() const;

  // The tools that `environment` calls for, in the order they are tried after the in-process
  // owner. Empty when neither display is set or no tool is on the path.
  static std::vector<Command> commandsFor(const Environment& environment);

 private:
  struct State;

  // `read`, where an empty `type` lists the types.
  std::optional<std::string> readWith(std::string_view type,
                                      std::chrono::steady_clock::time_point deadline);

  std::optional<Environment> environment_;  // fixed at construction; absent: the process's
  std::chrono::milliseconds timeout_;
  // Shared with the background hand-off and the connection worker, which may outlive this
  // object; its fields say which of its mutexes guards them.
  std::shared_ptr<State> state_;
};

// The name of a destination, for log lines ("x11", "wayland", "wl-copy", "memory").
LUMO_API std::string_view toString(Clipboard::Destination destination);

}  // namespace lumo
