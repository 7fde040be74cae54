#pragma once

#include <cstdint>
#include <string>

#include "lumo/Export.h"

namespace lumo {

// Renders a number of seconds as minutes and seconds, each with at least two digits:
// 65 → "01:05", 3600 → "60:00", 6000 → "100:00".
class LUMO_API TimerFormatter {
 public:
  std::string formattedTimeString(std::int64_t seconds) const;
};

}  // namespace lumo
