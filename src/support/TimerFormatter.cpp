#include "lumo/support/TimerFormatter.h"

#include <cstdio>

namespace lumo {

std::string TimerFormatter::formattedTimeString(std::int64_t seconds) const {
  const std::int64_t minutes = seconds / 60;  // truncates toward zero
  const std::int64_t rest = seconds - 60 * minutes;
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "%02lld:%02lld", static_cast<long long>(minutes),
                static_cast<long long>(rest));
  return buffer;
}

}  // namespace lumo
