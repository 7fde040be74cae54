// The URL parser and the path operations on what it accepts. A parsed URL's text parses again
// to itself, every accessor answers, and a file URL made from a path gives that path back.
#include <cstdint>

#include "FuzzSupport.h"
#include "lumo/platform/Url.h"

using namespace lumo;

namespace {

void exercise(const Url& url) {
  const std::optional<Url> again = Url::parse(url.absoluteString());
  LUMO_FUZZ_CHECK(again.has_value(), "the URL's own text does not parse: " + url.absoluteString());
  LUMO_FUZZ_CHECK(*again == url, "parsing is not stable: " + url.absoluteString() + " became " +
                                     again->absoluteString());
  // Every accessor answers (the sanitizers watch how).
  (void)url.scheme(), (void)url.host(), (void)url.port(), (void)url.query();
  (void)url.queryItems(), (void)url.filePath(), (void)url.pathExtension();
  const std::vector<std::string> components = url.pathComponents();
  LUMO_FUZZ_CHECK(url.lastPathComponent() == (components.empty() ? "" : components.back()),
                  "the last component is not the last of the components");
  (void)url.appendingPathComponent("a b/c?.png"), (void)url.appendingPathExtension("gz");
  (void)url.deletingPathExtension(), (void)url.deletingLastPathComponent();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = fuzz::asText(data, size);
  if (const std::optional<Url> url = Url::parse(text)) {
    exercise(*url);
    // The text as a reference against a fixed base, as redirects and links are resolved.
    static const Url base = *Url::parse("https://example.com/a/b?q=1#f");
    if (const std::optional<Url> resolved = Url::resolve(text, base)) exercise(*resolved);
  } else if (const std::optional<Url> resolved = Url::resolve(text, *Url::parse("file:///d/"))) {
    exercise(*resolved);
  }

  // The text as an absolute file path, byte for byte.
  if (!text.empty() && text.front() == '/' && text.find('\0') == std::string_view::npos) {
    const std::string path(text);
    const Url file = Url::fileURL(path);
    LUMO_FUZZ_CHECK(file.isFileURL(), "fileURL made " + file.absoluteString());
    std::string expected = path;
    if (expected.size() > 1 && expected.back() == '/') expected.pop_back();
    LUMO_FUZZ_CHECK(file.filePath().native() == expected,
                    "fileURL(" + path + ").filePath() is " + file.filePath().native());
    exercise(file);
  }
  return 0;
}
