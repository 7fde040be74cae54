#include "lumo/api/JSONEncoder.h"

#include <string>

namespace lumo {

Result<std::vector<std::uint8_t>> JSONEncoder::encodeJSON(const nlohmann::json& json) {
  std::string text;
  try {
    // The strict handler refuses text that is not UTF-8 instead of sending it mangled.
    text = json.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
  } catch (const nlohmann::json::exception& e) {
    return EncodingError(e.what());
  }
  return std::vector<std::uint8_t>(text.begin(), text.end());
}

}  // namespace lumo
