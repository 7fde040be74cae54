#pragma once

#include <concepts>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "lumo/Export.h"
#include "lumo/api/DecodingError.h"

namespace lumo {

class DecodingContainer;

// A model that decodes from JSON: it offers `static T decode(DecodingContainer&)`, which reads
// each of its keys from the container.
template <typename T>
concept JSONDecodable = requires(DecodingContainer& c) {
  { T::decode(c) } -> std::same_as<T>;
};

// A model that encodes to JSON: it offers `nlohmann::json encode() const`.
template <typename T>
concept JSONEncodable = requires(const T& v) {
  { v.encode() } -> std::same_as<nlohmann::json>;
};

// The keyed view of one JSON value through which a model reads its fields.
//
//   static ProfileResponse decode(DecodingContainer& c) {
//     ProfileResponse p;
//     p.email = c.decode<std::string>("email");
//     p.maxContentSize = c.decode<std::uint64_t>("max_content_size");
//     return p;
//   }
//
// Every key is required and every value's JSON type is checked before it is read: a boolean or
// a fraction where an integer belongs, a negative number where an unsigned one belongs, a
// number where text belongs, or null anywhere, fails the decoding. nlohmann/json alone would
// convert most of these silently.
//
// The container never throws. The first failure is recorded (with its coding path) and shared
// with the nested containers; every later read answers a default value, and `JSONDecoder` turns
// the recorded failure into the result. The JSON value must outlive the container.
class LUMO_API DecodingContainer {
 public:
  // Reads the value under `key`. T is bool, std::int64_t, std::uint64_t, std::string,
  // std::vector<std::string>, or a `JSONDecodable` model (decoded from a nested object).
  template <typename T>
  T decode(std::string_view key) {
    if constexpr (std::same_as<T, bool>) {
      return decodeBool(key);
    } else if constexpr (std::same_as<T, std::int64_t>) {
      return decodeInt64(key);
    } else if constexpr (std::same_as<T, std::uint64_t>) {
      return decodeUInt64(key);
    } else if constexpr (std::same_as<T, std::string>) {
      return decodeString(key);
    } else if constexpr (std::same_as<T, std::vector<std::string>>) {
      return decodeStringArray(key);
    } else {
      static_assert(JSONDecodable<T>, "decode<T>: T is not a supported JSON type");
      const nlohmann::json* value = field(key, "Dictionary<String, Any>");
      if (value == nullptr) return T{};
      DecodingContainer nested(*value, pathWith(key), failure_);
      return T::decode(nested);
    }
  }

  // Records a failure for the value under `key` that the model judged invalid (an unknown
  // enumeration text, say), unless one is recorded already.
  void reportDataCorrupted(std::string_view key, std::string debugDescription);

  // True once any read has failed.
  bool failed() const { return failure_->has_value(); }
  const std::optional<DecodingError>& failure() const { return *failure_; }

  // The keys and indices leading to this container's value.
  const std::vector<std::string>& codingPath() const { return path_; }

 private:
  friend class JSONDecoder;

  DecodingContainer(const nlohmann::json& value, std::vector<std::string> path,
                    std::shared_ptr<std::optional<DecodingError>> failure);

  // The value under `key`, checked to be present, not null, and inside an object; nullptr
  // (with the failure recorded) otherwise. `typeName` names the expected type in messages.
  const nlohmann::json* field(std::string_view key, const char* typeName);
  std::vector<std::string> pathWith(std::string_view key) const;
  void fail(DecodingError error);

  bool decodeBool(std::string_view key);
  std::int64_t decodeInt64(std::string_view key);
  std::uint64_t decodeUInt64(std::string_view key);
  std::string decodeString(std::string_view key);
  std::vector<std::string> decodeStringArray(std::string_view key);

  const nlohmann::json& value_;
  std::vector<std::string> path_;
  std::shared_ptr<std::optional<DecodingError>> failure_;  // shared with nested containers
};

}  // namespace lumo
