#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "lumo/sharing/GlobalAlertsService.h"

namespace lumo::cli {

// Alerts become "error: <message>" lines on standard error.
//
// While a command shares, checks or deletes, alerts are held back and released when it ends,
// so that an alert that only repeats a failure already reported for a file is left out.
class StderrAlerts : public GlobalAlertsService {
 public:
  using Repeats = std::function<bool(const std::string&)>;

  // `writeLine` puts a line on standard error (above the progress line).
  explicit StderrAlerts(std::function<void(const std::string&)> writeLine)
      : writeLine_(std::move(writeLine)) {}

  void showAlert(const std::string& message) override;

  void hold();
  // Writes the alerts held, except those for which `repeats` answers true, and stops holding.
  void release(const Repeats& repeats);

 private:
  const std::function<void(const std::string&)> writeLine_;
  std::mutex mu_;
  bool holding_ = false;           // guarded by mu_
  std::vector<std::string> held_;  // guarded by mu_
};

}  // namespace lumo::cli
