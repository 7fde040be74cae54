#include "lumo/capture/CamelCaseToWords.h"

#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

namespace lumo {
namespace {

bool isAsciiUpper(char c) {
  return c >= 'A' && c <= 'Z';
}
bool isAsciiLower(char c) {
  return c >= 'a' && c <= 'z';
}

}  // namespace

std::string camelCaseToWords(std::string_view text) {
  // 1. A space before each capital that starts a lower-case run ("([A-Z][a-z])" → " $1").
  std::string spaced;
  spaced.reserve(text.size() + 8);
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (i + 1 < text.size() && isAsciiUpper(text[i]) && isAsciiLower(text[i + 1])) {
      spaced += ' ';
      spaced += text[i];
      spaced += text[++i];
    } else {
      spaced += text[i];
    }
  }

  // 2. Trim white space and line breaks at both ends.
  icu::UnicodeString words = icu::UnicodeString::fromUTF8(spaced);
  int32_t start = 0;
  int32_t end = words.length();
  while (start < end && u_isUWhiteSpace(words.char32At(start))) {
    start = words.moveIndex32(start, 1);
  }
  while (end > start) {
    int32_t previous = words.moveIndex32(end, -1);
    if (!u_isUWhiteSpace(words.char32At(previous))) break;
    end = previous;
  }
  icu::UnicodeString trimmed(words, start, end - start);

  // 3. Title case per word, independent of the user's locale.
  trimmed.toTitle(nullptr, icu::Locale::getRoot());
  std::string result;
  trimmed.toUTF8String(result);
  return result;
}

}  // namespace lumo
