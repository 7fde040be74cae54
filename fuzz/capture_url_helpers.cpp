// The capture model's text helpers; the first byte picks the helper, the rest is its input:
// `queryParameters` of a URL, `camelCaseToWords` of a name, `relativeScreenCapturePath` of a
// file path.
#include <cstdint>
#include <nlohmann/json.hpp>

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
    if (item.value)
      expected[item.name] = *item.value;
    else
      expected.erase(item.name);
  }
  LUMO_FUZZ_CHECK(*parameters == expected, "the parameters are not the folded items");
}

void camelCaseToWordsOf(std::string_view text) {
  const std::string words = camelCaseToWords(text);
  try {  // the JSON writer refuses text that is not well-formed UTF-8
    (void)nlohmann::json(words).dump();
  } catch (const nlohmann::json::exception&) {
    LUMO_FUZZ_CHECK(false, "the words are not UTF-8: " + words);
  }
  for (const char end : {words.empty() ? 'x' : words.front(), words.empty() ? 'x' : words.back()})
    LUMO_FUZZ_CHECK(end != ' ' && end != '\t' && end != '\n' && end != '\r',
                    "white space left at an end of \"" + words + "\"");
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
  constexpr void (*kHelpers[])(std::string_view) = {queryParametersOf, camelCaseToWordsOf,
                                                    relativeScreenCapturePathOf};
  kHelpers[data[0] % 3](fuzz::asText(data + 1, size - 1));
  return 0;
}
