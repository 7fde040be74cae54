#include "lumo/api/DecodingError.h"

#include <utility>

namespace lumo {
namespace {

// Quotes `text` with backslash escapes for quotation marks and backslashes, so that the full
// description stays unambiguous whatever the key holds.
std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
  return out;
}

std::string pathText(const std::vector<std::string>& path) {
  std::string out = "[";
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (i > 0) out += ", ";
    out += quoted(path[i]);
  }
  out += "]";
  return out;
}

}  // namespace

DecodingError::DecodingError(Kind kind, std::vector<std::string> codingPath,
                             std::string debugDescription, std::string typeName, std::string key)
    : kind_(kind),
      codingPath_(std::move(codingPath)),
      debugDescription_(std::move(debugDescription)),
      typeName_(std::move(typeName)),
      key_(std::move(key)) {}

std::string DecodingError::description() const {
  const std::string context =
      "codingPath: " + pathText(codingPath_) + ", debugDescription: " + quoted(debugDescription_);
  switch (kind_) {
    case Kind::typeMismatch:
      return "typeMismatch(type: " + typeName_ + ", " + context + ")";
    case Kind::valueNotFound:
      return "valueNotFound(type: " + typeName_ + ", " + context + ")";
    case Kind::keyNotFound:
      return "keyNotFound(key: " + quoted(key_) + ", " + context + ")";
    case Kind::dataCorrupted:
      return "dataCorrupted(" + context + ")";
  }
  return "dataCorrupted(" + context + ")";
}

std::string DecodingError::localizedDescription() const {
  switch (kind_) {
    case Kind::valueNotFound:
    case Kind::keyNotFound:
      return "The data couldn't be read because it is missing.";
    case Kind::typeMismatch:
    case Kind::dataCorrupted:
      break;
  }
  return "The data couldn't be read because it isn't in the correct format.";
}

}  // namespace lumo
