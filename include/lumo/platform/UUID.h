#pragma once

#include <string>

#include "lumo/Export.h"

namespace lumo {

// A new random (version 4) UUID in the desktop's text form: upper case with hyphens
// ("E621E1F8-C36C-495A-93FC-0C247A3E6E5F"). Drawn from the kernel's random source.
LUMO_API std::string makeUUIDString();

}  // namespace lumo
