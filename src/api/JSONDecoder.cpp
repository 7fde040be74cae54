#include "lumo/api/JSONDecoder.h"

#include <string>

namespace lumo {
namespace {

// The deepest nesting of arrays and objects in `data`, counted outside strings, stopping early
// once `limit` is passed. Malformed text is left to the parser.
int nestingDepth(std::span<const std::uint8_t> data, int limit) {
  int depth = 0;
  int deepest = 0;
  bool inString = false;
  bool escaped = false;
  for (std::uint8_t c : data) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > deepest) deepest = depth;
      if (deepest > limit) break;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return deepest;
}

Error notJSON(const std::string& underlying) {
  return DecodingError(DecodingError::Kind::dataCorrupted, {},
                       "The given data was not valid JSON. " + underlying);
}

}  // namespace

Result<nlohmann::json> JSONDecoder::parse(std::span<const std::uint8_t> data) {
  if (nestingDepth(data, kMaxDepth) > kMaxDepth) {
    return notJSON("Nesting deeper than " + std::to_string(kMaxDepth) + " levels.");
  }
  try {
    return nlohmann::json::parse(data.begin(), data.end());
  } catch (const nlohmann::json::exception& e) {
    return notJSON(e.what());
  }
}

std::optional<nlohmann::json> JSONDecoder::parseObject(
    const std::optional<std::vector<std::uint8_t>>& data) {
  if (!data) return std::nullopt;
  Result<nlohmann::json> parsed = parse(*data);
  if (!parsed || !parsed->is_object()) return std::nullopt;
  return std::move(*parsed);
}

}  // namespace lumo
