#pragma once

#include <functional>
#include <string>

#include "lumo/sharing/GlobalAlertsService.h"

namespace lumo::cli {

// Alerts become "error: <message>" lines on standard error.
class StderrAlerts : public GlobalAlertsService {
 public:
  // `writeLine` puts a line on standard error (above the progress line).
  explicit StderrAlerts(std::function<void(const std::string&)> writeLine)
      : writeLine_(std::move(writeLine)) {}

  void showAlert(const std::string& message) override;

 private:
  const std::function<void(const std::string&)> writeLine_;
};

}  // namespace lumo::cli
