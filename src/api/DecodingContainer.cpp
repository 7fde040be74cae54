#include "lumo/api/DecodingContainer.h"

#include <cmath>
#include <limits>
#include <utility>

namespace lumo {
namespace {

using json = nlohmann::json;

// How a found value is named in messages ("found a string instead").
const char* foundName(const json& value) {
  switch (value.type()) {
    case json::value_t::null:
      return "null";
    case json::value_t::boolean:
      return "a boolean";
    case json::value_t::number_integer:
    case json::value_t::number_unsigned:
    case json::value_t::number_float:
      return "a number";
    case json::value_t::string:
      return "a string";
    case json::value_t::array:
      return "an array";
    case json::value_t::object:
      return "a dictionary";
    default:
      return "an unsupported value";
  }
}

std::string doesNotFit(const json& value, const char* typeName) {
  return "Parsed JSON number <" + value.dump() + "> does not fit in " + typeName + ".";
}

// 2^63 and 2^64 as doubles; both are exact.
constexpr double kTwoPow63 = 9223372036854775808.0;
constexpr double kTwoPow64 = 18446744073709551616.0;

bool isIntegral(double d) {
  return std::isfinite(d) && std::trunc(d) == d;
}

}  // namespace

DecodingContainer::DecodingContainer(const nlohmann::json& value, std::vector<std::string> path,
                                     std::shared_ptr<std::optional<DecodingError>> failure)
    : value_(value), path_(std::move(path)), failure_(std::move(failure)) {}

void DecodingContainer::fail(DecodingError error) {
  if (!failure_->has_value()) *failure_ = std::move(error);
}

std::vector<std::string> DecodingContainer::pathWith(std::string_view key) const {
  std::vector<std::string> path = path_;
  path.emplace_back(key);
  return path;
}

void DecodingContainer::reportDataCorrupted(std::string_view key, std::string debugDescription) {
  fail(DecodingError(DecodingError::Kind::dataCorrupted, pathWith(key),
                     std::move(debugDescription)));
}

const nlohmann::json* DecodingContainer::field(std::string_view key, const char* typeName) {
  if (failed()) return nullptr;
  if (!value_.is_object()) {
    fail(DecodingError(DecodingError::Kind::typeMismatch, path_,
                       std::string("Expected to decode Dictionary<String, Any> but found ") +
                           foundName(value_) + " instead.",
                       "Dictionary<String, Any>"));
    return nullptr;
  }
  auto it = value_.find(key);
  if (it == value_.end()) {
    fail(DecodingError(DecodingError::Kind::keyNotFound, path_,
                       "No value associated with key \"" + std::string(key) + "\".", {},
                       std::string(key)));
    return nullptr;
  }
  if (it->is_null()) {
    fail(DecodingError(DecodingError::Kind::valueNotFound, pathWith(key),
                       std::string("Expected ") + typeName + " value but found null instead.",
                       typeName));
    return nullptr;
  }
  return &*it;
}

bool DecodingContainer::decodeBool(std::string_view key) {
  const json* value = field(key, "Bool");
  if (value == nullptr) return false;
  if (!value->is_boolean()) {
    fail(DecodingError(
        DecodingError::Kind::typeMismatch, pathWith(key),
        std::string("Expected to decode Bool but found ") + foundName(*value) + " instead.",
        "Bool"));
    return false;
  }
  return value->get<bool>();
}

std::int64_t DecodingContainer::decodeInt64(std::string_view key) {
  const json* value = field(key, "Int64");
  if (value == nullptr) return 0;
  switch (value->type()) {
    case json::value_t::number_integer:
      return value->get<std::int64_t>();
    case json::value_t::number_unsigned: {
      auto u = value->get<std::uint64_t>();
      if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return static_cast<std::int64_t>(u);
      }
      break;
    }
    case json::value_t::number_float: {
      // "3.0" and "3e2" are integers written as decimals; "3.5" is not.
      double d = value->get<double>();
      if (isIntegral(d) && d >= -kTwoPow63 && d < kTwoPow63) return static_cast<std::int64_t>(d);
      break;
    }
    default:
      fail(DecodingError(
          DecodingError::Kind::typeMismatch, pathWith(key),
          std::string("Expected to decode Int64 but found ") + foundName(*value) + " instead.",
          "Int64"));
      return 0;
  }
  fail(DecodingError(DecodingError::Kind::dataCorrupted, pathWith(key),
                     doesNotFit(*value, "Int64")));
  return 0;
}

std::uint64_t DecodingContainer::decodeUInt64(std::string_view key) {
  const json* value = field(key, "UInt64");
  if (value == nullptr) return 0;
  switch (value->type()) {
    case json::value_t::number_unsigned:
      return value->get<std::uint64_t>();
    case json::value_t::number_integer: {
      // nlohmann keeps non-negative integers as unsigned, so a signed one here is negative.
      auto i = value->get<std::int64_t>();
      if (i >= 0) return static_cast<std::uint64_t>(i);
      break;
    }
    case json::value_t::number_float: {
      double d = value->get<double>();
      if (isIntegral(d) && d >= 0 && d < kTwoPow64) return static_cast<std::uint64_t>(d);
      break;
    }
    default:
      fail(DecodingError(
          DecodingError::Kind::typeMismatch, pathWith(key),
          std::string("Expected to decode UInt64 but found ") + foundName(*value) + " instead.",
          "UInt64"));
      return 0;
  }
  fail(DecodingError(DecodingError::Kind::dataCorrupted, pathWith(key),
                     doesNotFit(*value, "UInt64")));
  return 0;
}

std::string DecodingContainer::decodeString(std::string_view key) {
  const json* value = field(key, "String");
  if (value == nullptr) return {};
  if (!value->is_string()) {
    fail(DecodingError(
        DecodingError::Kind::typeMismatch, pathWith(key),
        std::string("Expected to decode String but found ") + foundName(*value) + " instead.",
        "String"));
    return {};
  }
  return value->get<std::string>();
}

std::vector<std::string> DecodingContainer::decodeStringArray(std::string_view key) {
  const json* value = field(key, "Array<String>");
  if (value == nullptr) return {};
  if (!value->is_array()) {
    fail(DecodingError(DecodingError::Kind::typeMismatch, pathWith(key),
                       std::string("Expected to decode Array<String> but found ") +
                           foundName(*value) + " instead.",
                       "Array<String>"));
    return {};
  }
  std::vector<std::string> out;
  out.reserve(value->size());
  for (std::size_t i = 0; i < value->size(); ++i) {
    const json& element = (*value)[i];
    if (!element.is_string()) {
      std::vector<std::string> path = pathWith(key);
      path.push_back("Index " + std::to_string(i));
      if (element.is_null()) {
        fail(DecodingError(DecodingError::Kind::valueNotFound, std::move(path),
                           "Expected String value but found null instead.", "String"));
      } else {
        fail(DecodingError(
            DecodingError::Kind::typeMismatch, std::move(path),
            std::string("Expected to decode String but found ") + foundName(element) + " instead.",
            "String"));
      }
      return {};
    }
    out.push_back(element.get<std::string>());
  }
  return out;
}

}  // namespace lumo
