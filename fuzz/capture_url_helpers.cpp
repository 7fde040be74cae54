// The capture model's text helpers; the first byte picks the helper, the rest is its input:
// `queryParameters` of a URL, `camelCaseToWords` of a name, `relativeScreenCapturePath` of a
// file path.
#include <cstdint>

#include "FuzzSupport.h"
#include "lumo/capture/CamelCaseToWords.h"
#include "lumo/capture/ScreenCaptureUrl.h"
#include "lumo/platform/Url.h"

using namespace lumo;

namespace {

void queryParametersOf(std::string_view text) {
  const std::optional<Url> url = Url::parse(text);
  if (!url) return;
  const auto parameters = queryParameters(*url);
  LUMO_FUZZ_CHECK(parameters.has_value() == url->query().has_value(),
                  "parameters without a query, or the reverse");
  if (!parameters) return;
  // Folding the items by hand gives the same dictionary.
  std::map<std::string, std::string> expected;
  for (const Url::QueryItem& item : url->queryItems()) {
    if (item.value) {
      expected[item.name] = *item.value;
    } else {
      expected.erase(item.name);
    }
  }
  LUMO_FUZZ_CHECK(*parameters == expected, "the parameters are not the folded items");
}

// Well-formed UTF-8: no stray continuation bytes, no truncated or over-long sequences, no
// surrogates, nothing above U+10FFFF.
bool isUTF8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t length = c < 0x80                 ? 1
                         : c >= 0xC2 && c <= 0xDF ? 2
                         : c >= 0xE0 && c <= 0xEF ? 3
                         : c >= 0xF0 && c <= 0xF4 ? 4
                                                  : 0;
    if (length == 0 || i + length > text.size()) return false;
    std::uint32_t code = length == 1 ? c : c & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    if ((length == 3 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) ||
        (length == 4 && (code < 0x10000 || code > 0x10FFFF))) {
      return false;
    }
    i += length;
  }
  return true;
}

void camelCaseToWordsOf(std::string_view text) {
  const std::string words = camelCaseToWords(text);
  LUMO_FUZZ_CHECK(isUTF8(words), "the words are not UTF-8");
  for (const char end : {words.empty() ? 'x' : words.front(), words.empty() ? 'x' : words.back()}) {
    LUMO_FUZZ_CHECK(end != ' ' && end != '\t' && end != '\n' && end != '\r',
                    "white space left at an end of \"" + words + "\"");
  }
}

void relativeScreenCapturePathOf(std::string_view text) {
  if (text.find('\0') != std::string_view::npos) return;  // no path holds a NUL
  const Url url = Url::fileURL(std::filesystem::path(std::string(text)));
  const std::string relative = relativeScreenCapturePath(url);
  const std::string path = url.path();
  LUMO_FUZZ_CHECK(path.ends_with(relative), "the relative path is not the path's end");
  LUMO_FUZZ_CHECK(relative.find("Documents") == std::string::npos || path == relative,
                  "\"Documents\" left in the relative path " + relative);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view text = fuzz::asText(data + 1, size - 1);
  switch (data[0] % 3) {
    case 0:
      queryParametersOf(text);
      break;
    case 1:
      camelCaseToWordsOf(text);
      break;
    default:
      relativeScreenCapturePathOf(text);
      break;
  }
  return 0;
}
