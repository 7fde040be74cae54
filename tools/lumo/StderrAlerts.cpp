#include "StderrAlerts.h"

namespace lumo::cli {

void StderrAlerts::showAlert(const std::string& message) {
  {
    std::lock_guard lock(mu_);
    if (holding_) {
      held_.push_back(message);
      return;
    }
  }
  writeLine_("error: " + message);
}

void StderrAlerts::hold() {
  std::lock_guard lock(mu_);
  holding_ = true;
}

void StderrAlerts::release(const Repeats& repeats) {
  std::vector<std::string> held;
  {
    std::lock_guard lock(mu_);
    holding_ = false;
    held.swap(held_);
  }
  for (const auto& message : held) {
    if (!repeats || !repeats(message)) writeLine_("error: " + message);
  }
}

}  // namespace lumo::cli
