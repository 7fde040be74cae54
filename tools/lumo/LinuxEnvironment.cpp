#include "LinuxEnvironment.h"

#include <cstdlib>
#include <string_view>

namespace lumo::cli {

LinuxEnvironment::LinuxEnvironment(bool verbose)
    : debug_(verbose || [] {
        const char* value = std::getenv("LUMO_DEBUG");
        return value && std::string_view(value) == "1";
      }()) {}

}  // namespace lumo::cli
