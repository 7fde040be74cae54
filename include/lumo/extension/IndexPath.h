#pragma once

#include <cstdint>

namespace lumo {

// A position in a list view: the section, and the item within it.
struct IndexPath {
  std::int64_t section = 0;
  std::int64_t item = 0;

  friend bool operator==(const IndexPath&, const IndexPath&) = default;
};

}  // namespace lumo
