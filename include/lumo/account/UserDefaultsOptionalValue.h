#pragma once

#include <optional>
#include <string>
#include <utility>

#include "lumo/account/UserDefaultsValue.h"

namespace lumo {

// An optional setting bound to one key of the standard user-defaults store.
//
//   UserDefaultsOptionalValue<std::string> nickname("nickname");
//   nickname.wrappedValue();                 // absent while missing or of another type
//   nickname.setWrappedValue("Ann");
//   nickname.setWrappedValue(std::nullopt);  // removes the key
template <UserDefaultsStorable T>
class UserDefaultsOptionalValue {
 public:
  explicit UserDefaultsOptionalValue(std::string key) : key_(std::move(key)) {}

  const std::string& key() const { return key_; }

  std::optional<T> wrappedValue() const { return user_defaults_detail::read<T>(key_); }
  // Stores the value, or removes the key for nothing.
  Result<void> setWrappedValue(const std::optional<T>& value) const {
    if (!value) return UserDefaults::standard().removeObject(key_);
    return UserDefaults::standard().set(*value, key_);
  }

 private:
  std::string key_;
};

}  // namespace lumo
