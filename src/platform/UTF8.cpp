#include "lumo/platform/UTF8.h"

#include <unicode/utf8.h>

#include <algorithm>
#include <cstdint>

namespace lumo {

std::size_t utf8CharacterLength(std::string_view text) {
  if (text.empty()) return 0;
  // One character is at most U8_MAX_LENGTH bytes: ICU's 32-bit lengths never overflow here.
  const auto length = static_cast<std::int32_t>(std::min<std::size_t>(text.size(), U8_MAX_LENGTH));
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  std::int32_t next = 0;
  UChar32 character = 0;
  U8_NEXT(bytes, next, length, character);
  return character < 0 ? 0 : static_cast<std::size_t>(next);
}

bool isValidUTF8(std::string_view text) {
  while (!text.empty()) {
    const std::size_t length = utf8CharacterLength(text);
    if (length == 0) return false;
    text.remove_prefix(length);
  }
  return true;
}

}  // namespace lumo
