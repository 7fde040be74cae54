#pragma once

#include <string>

#include "lumo/Export.h"

namespace lumo {

// Host-supplied: shows an alert with a message. The library calls it on the main queue after an
// upload error and for every recorded share error. Optional: when the host registers none,
// alerts are skipped.
class LUMO_API GlobalAlertsService {
 public:
  virtual ~GlobalAlertsService() = default;
  virtual void showAlert(const std::string& message) = 0;
};

}  // namespace lumo
