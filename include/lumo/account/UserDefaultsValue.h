#pragma once

#include <concepts>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "lumo/platform/UserDefaults.h"
#include "lumo/support/Result.h"

namespace lumo {

// The value types the stored-value wrappers read and write directly: text, booleans, doubles,
// bytes, and integers (kept as 64-bit integers; a stored integer outside T's range is not a T).
template <typename T>
concept UserDefaultsStorable = std::same_as<T, std::string> || std::same_as<T, bool> ||
    std::same_as<T, double> || std::same_as<T, UserDefaults::Data> ||
    (std::integral<T> && !std::same_as<T, bool>);

namespace user_defaults_detail {

// The value under `key` in the standard store when it has type T.
template <UserDefaultsStorable T>
std::optional<T> read(const std::string& key) {
  UserDefaults& defaults = UserDefaults::standard();
  if constexpr (std::integral<T> && !std::same_as<T, bool>) {
    std::optional<std::int64_t> stored = defaults.integer(key);
    if (!stored) return std::nullopt;
    if constexpr (std::is_unsigned_v<T>) {
      if (*stored < 0 || static_cast<std::uint64_t>(*stored) > std::numeric_limits<T>::max()) {
        return std::nullopt;
      }
    } else {
      if (*stored < std::numeric_limits<T>::min() || *stored > std::numeric_limits<T>::max()) {
        return std::nullopt;
      }
    }
    return static_cast<T>(*stored);
  } else {
    return defaults.value<T>(key);
  }
}

}  // namespace user_defaults_detail

// A setting bound to one key of the standard user-defaults store, with a default.
//
//   UserDefaultsValue<std::int64_t> retries("retries", 5);
//   retries.wrappedValue();          // 5 while the key is missing or holds another type
//   retries.setWrappedValue(7);      // written at once
//
// Nothing is cached: every read asks the store and every write goes to it. The store is safe
// from any thread; the wrapper adds no lock.
template <UserDefaultsStorable T>
class UserDefaultsValue {
 public:
  UserDefaultsValue(std::string key, T defaultValue)
      : key_(std::move(key)), defaultValue_(std::move(defaultValue)) {}

  const std::string& key() const { return key_; }
  const T& defaultValue() const { return defaultValue_; }

  // The stored value when it has type T, else the default.
  T wrappedValue() const { return user_defaults_detail::read<T>(key_).value_or(defaultValue_); }
  // Stores `value` under the key.
  Result<void> setWrappedValue(const T& value) const {
    return UserDefaults::standard().set(value, key_);
  }

 private:
  std::string key_;
  T defaultValue_;
};

}  // namespace lumo
