#pragma once

#include "lumo/sharing/EnvironmentHelperService.h"

namespace lumo::cli {

// Debug lines of the library are shown with `--verbose` or LUMO_DEBUG=1.
class LinuxEnvironment : public EnvironmentHelperService {
 public:
  explicit LinuxEnvironment(bool verbose);
  bool isDebug() const override { return debug_; }

 private:
  const bool debug_;
};

}  // namespace lumo::cli
