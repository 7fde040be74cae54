#include "StderrAlerts.h"

#include <unistd.h>

#include <string>

namespace lumo::cli {

void StderrAlerts::showAlert(const std::string& message) {
  writeLine_("error: " + message);
}

}  // namespace lumo::cli
