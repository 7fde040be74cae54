#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace lumo {

// The kind of account: "free" or "paid" (its raw value, also its JSON form).
enum class UserType { free, paid };

inline std::string rawValue(UserType type) {
  return type == UserType::paid ? "paid" : "free";
}

// The type whose raw value is exactly `raw`, or nothing.
inline std::optional<UserType> userTypeFromRawValue(std::string_view raw) {
  if (raw == "free") return UserType::free;
  if (raw == "paid") return UserType::paid;
  return std::nullopt;
}

}  // namespace lumo
