#pragma once

#include <cstdint>

#include "lumo/Export.h"

namespace lumo {

// The latest progress of an upload: the bytes it carries and the fraction (0 to 1) sent so far.
struct LUMO_API ProgressModel {
  std::int64_t fileSize = 0;
  double progress = 0;

  friend bool operator==(const ProgressModel&, const ProgressModel&) = default;
};

}  // namespace lumo
