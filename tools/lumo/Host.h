#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "StderrAlerts.h"
#include "TerminalProgress.h"
#include "lumo/sharing/ShareManager.h"
#include "lumo/sharing/ShareStatesManager.h"

namespace lumo::cli {

// The services of the library, registered in the main container with the library's own
// implementations and this program's Linux ones for the host interfaces.
class Host {
 public:
  struct Options {
    bool verbose = false;
    bool terminal = false;  // standard error is a terminal: the progress line is redrawn
    bool quiet = false;     // standard error shows only "error:" lines
    // Caps how long every request of the library and of lumo waits without an answer (the
    // requests' own limit is 60 s).
    std::optional<std::chrono::milliseconds> requestTimeout;
  };

  // Creates the internal folder and the app-group folder when missing (the library does not),
  // then registers every service. Fails with the reason when a folder cannot be made.
  static std::unique_ptr<Host> install(const Options& options, std::string* whyNot);

  // Resolved on first use: constructing the states store reads the states file.
  std::shared_ptr<ShareManager> manager() const;
  std::shared_ptr<ShareStatesManager> states() const;
  const std::shared_ptr<TerminalProgress>& progress() const { return progress_; }
  const std::shared_ptr<StderrAlerts>& alerts() const { return alerts_; }

 private:
  Host() = default;
  std::shared_ptr<TerminalProgress> progress_;
  std::shared_ptr<StderrAlerts> alerts_;
};

}  // namespace lumo::cli
