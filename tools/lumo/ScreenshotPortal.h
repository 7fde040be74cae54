#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

namespace lumo::cli {

// The XDG desktop portal's Screenshot interface (org.freedesktop.portal.Screenshot) on the
// session bus. Main thread only: each call opens its own bus connection and dispatches it on
// the calling thread, starting none.
class ScreenshotPortal {
 public:
  struct Outcome {
    enum class Kind { taken, cancelled, failed };
    Kind kind = Kind::failed;
    std::filesystem::path file;  // taken: the local file the portal wrote (from its file:// uri)
    std::string error;           // failed: one line for people, e.g. "the portal refused: ..."
  };
  // Whether the session bus (DBUS_SESSION_BUS_ADDRESS, or the default) has the portal with the
  // Screenshot interface. Never waits longer than `deadline`; false when there is no bus.
  static bool available(std::chrono::steady_clock::time_point deadline);
  // Asks for a screenshot. `interactive` lets the desktop show its own picker (region, window).
  // Blocks until the portal's Response, `deadline`, or `interrupted()` turns true (polled at
  // least every 100 ms); an interruption closes the request (org.freedesktop.portal.Request.Close)
  // and gives `cancelled`. Response 1 gives `cancelled`, 2 or a missing/non-file uri `failed`.
  // A request still open at `deadline` is closed too, and gives `failed`. Closing waits at most
  // a second for the portal.
  static Outcome take(bool interactive, std::chrono::steady_clock::time_point deadline,
                      const std::function<bool()>& interrupted);
};

}  // namespace lumo::cli
