#pragma once

#include <string>
#include <typeinfo>

#include "lumo/Export.h"

namespace lumo {

// The readable name of a type without namespaces or enclosing classes: `lumo::LogService` gives
// "LogService", `std::string` gives "string", `std::vector<lumo::Url>` gives
// "vector<Url, allocator<Url> >".
LUMO_API std::string unqualifiedTypeName(const std::type_info& type);

}  // namespace lumo
