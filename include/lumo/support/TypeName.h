#pragma once

#include <string>
#include <typeinfo>

namespace lumo {

// The readable name of a type without namespaces or enclosing classes: `lumo::LogService` gives
// "LogService", `std::string` gives "string", `std::vector<lumo::Url>` gives
// "vector<Url, allocator<Url> >".
std::string unqualifiedTypeName(const std::type_info& type);

}  // namespace lumo
