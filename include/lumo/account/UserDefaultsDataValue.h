#pragma once

#include <optional>
#include <string>
#include <utility>

#include "lumo/platform/UserDefaults.h"
#include "lumo/support/Result.h"

namespace lumo {

// A setting of any archivable type, kept as data under one key of the standard user-defaults
// store: the value is archived (as JSON, see `UserDefaults::archive`) and the key holds the
// bytes, not the value itself. T is any type nlohmann::json converts (`to_json`/`from_json`).
//
//   UserDefaultsDataValue<std::vector<std::string>> recent("recentLinks");
//   recent.setWrappedValue(std::vector<std::string>{"https://..."});
//   recent.wrappedValue();   // absent when missing, not data, or not an archived T
template <typename T>
class UserDefaultsDataValue {
 public:
  explicit UserDefaultsDataValue(std::string key) : key_(std::move(key)) {}

  const std::string& key() const { return key_; }

  std::optional<T> wrappedValue() const { return UserDefaults::standard().archived<T>(key_); }
  // Archives and stores the value, or removes the key for nothing.
  Result<void> setWrappedValue(const std::optional<T>& value) const {
    if (!value) return UserDefaults::standard().removeObject(key_);
    return UserDefaults::standard().setArchived(*value, key_);
  }

 private:
  std::string key_;
};

}  // namespace lumo
