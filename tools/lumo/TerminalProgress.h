#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "lumo/sharing/ProgressDisplay.h"

namespace lumo::cli {

// The overall upload progress on standard error. On a terminal: one line redrawn in place with
// the fraction, the bytes, the speed and the time left. Otherwise a plain line at each 10%.
// Quiet: no progress, and of the lines only those that start with "error:".
class TerminalProgress : public ProgressDisplay {
 public:
  // `totalBytes` tells the bytes the overall fraction covers (the share manager's figure).
  TerminalProgress(bool terminal, bool quiet, std::function<std::int64_t()> totalBytes);

  void updateProgress(double progress) override;
  // Ends the line: draws 100% when every upload succeeded, then a newline on a terminal.
  void finish(bool complete);
  // Writes `line` (and a newline) on standard error above the progress line, which is redrawn
  // below it, so that messages never break the line in two.
  void printLine(const std::string& line);

  // "1.5 MB", "320 KB", "12 B".
  static std::string formatBytes(double bytes);

 private:
  void draw(double progress);  // with mu_ held
  std::string line_;           // the progress line drawn last; guarded by mu_

  const bool terminal_;
  const bool quiet_;
  const std::function<std::int64_t()> totalBytes_;
  std::mutex mu_;
  std::chrono::steady_clock::time_point started_;   // guarded by mu_
  bool drawn_ = false;                              // guarded by mu_
  int lastDecile_ = -1;                             // guarded by mu_
  std::chrono::steady_clock::time_point lastDraw_;  // guarded by mu_
  // The speed drawn last: the 100% line shows it rather than an average over the whole run,
  // which counts the time spent before the upload and after it.
  double lastSpeed_ = 0;  // guarded by mu_
};

}  // namespace lumo::cli
