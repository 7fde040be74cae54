#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>

namespace lumo::detail {

// The `poll` timeout that ends at `deadline`: never negative, which would wait forever, and at
// most a minute, so that a deadline far away still has the caller look again now and then.
inline int pollTimeout(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, 60'000));
}

}  // namespace lumo::detail
