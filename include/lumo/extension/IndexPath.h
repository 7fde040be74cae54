#pragma once

#include <cstdint>

#include "lumo/Export.h"

namespace lumo {

// A position in a list view: the section, and the item within it.
struct LUMO_API IndexPath {
  std::int64_t section = 0;
  std::int64_t item = 0;

  friend bool operator==(const IndexPath&, const IndexPath&) = default;
};

}  // namespace lumo
