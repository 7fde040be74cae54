#include "lumo/platform/Url.h"

#include <curl/curl.h>

#include <cstring>
#include <memory>
#include <system_error>

namespace lumo {
namespace {

// ---- libcurl handles ----

struct CurlUrlDeleter {
  void operator()(CURLU* u) const { curl_url_cleanup(u); }
};
using CurlUrlPtr = std::unique_ptr<CURLU, CurlUrlDeleter>;

struct CurlFreeDeleter {
  void operator()(char* p) const { curl_free(p); }
};
using CurlString = std::unique_ptr<char, CurlFreeDeleter>;

// Schemes other than curl's own (e.g. "s3://") still parse; dot segments are kept as written,
// as the desktop's URL parser keeps them.
constexpr unsigned kParseFlags = CURLU_NON_SUPPORT_SCHEME | CURLU_PATH_AS_IS;

// One part of a parsed URL; nullopt when the URL has no such part.
std::optional<std::string> getPart(CURLU* u, CURLUPart part, unsigned flags = 0) {
  char* raw = nullptr;
  if (curl_url_get(u, part, &raw, flags) != CURLUE_OK || raw == nullptr) return std::nullopt;
  CurlString owned(raw);
  return std::string(owned.get());
}

// ---- percent-encoding ----

constexpr char kHex[] = "0123456789ABCDEF";

bool isAlnum(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// The characters the desktop's path character set allows unencoded in a path segment:
// unreserved ones plus the sub-delimiters except ";" and plus ":" and "@".
bool isPathSegmentChar(unsigned char c) {
  return isAlnum(c) || std::strchr("-._~!$&'()*+,=:@", c) != nullptr;
}

void appendEscaped(std::string& out, unsigned char c) {
  out += '%';
  out += kHex[c >> 4];
  out += kHex[c & 0xF];
}

// Encodes every byte a path segment cannot hold; "/" too unless `keepSlash`.
std::string encodePath(std::string_view text, bool keepSlash) {
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (isPathSegmentChar(c) || (keepSlash && c == '/')) {
      out += ch;
    } else {
      appendEscaped(out, c);
    }
  }
  return out;
}

// Escapes what may appear in text typed or pasted as a URL but that no URL holds literally
// (spaces, non-ASCII bytes, a few ASCII punctuation marks), leaving "%" escapes and every
// delimiter alone. Control characters are left in so that the parser rejects the text.
std::string escapeLooseCharacters(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == ' ' || c >= 0x80 || std::strchr("\"<>\\^`{|}", c) != nullptr) {
      appendEscaped(out, c);
    } else {
      out += ch;
    }
  }
  return out;
}

// Undoes percent-encoding byte for byte; malformed escapes stay as written.
std::string decode(std::string_view text) {
  if (text.find('%') == std::string_view::npos) return std::string(text);
  int length = 0;
  CurlString raw(curl_easy_unescape(nullptr, text.data(), static_cast<int>(text.size()), &length));
  if (!raw) return std::string(text);
  return std::string(raw.get(), static_cast<std::size_t>(length));
}

// ---- parsing ----

CurlUrlPtr parseHandle(const std::string& text, unsigned flags = kParseFlags) {
  CurlUrlPtr u(curl_url());
  if (!u) return nullptr;
  if (curl_url_set(u.get(), CURLUPART_URL, text.c_str(), flags) != CURLUE_OK) return nullptr;
  return u;
}

// libcurl refuses a file URL whose path starts with what Windows reads as a drive ("/c:" or
// "/c:/..."); here that is an ordinary folder name, so its ":" is percent-encoded instead.
void escapeDriveLetter(std::string& path) {
  const auto isLetter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  if (path.size() >= 3 && path[0] == '/' && isLetter(path[1]) && path[2] == ':' &&
      (path.size() == 3 || path[3] == '/')) {
    path.replace(2, 1, "%3A");
  }
}

std::optional<std::string> normalised(CURLU* u) {
  // libcurl 7.88 keeps "file:///" with an empty path and then writes it as "file://(nil)", and
  // keeps the relative path of "file:a/b" and writes "file://a/b", which reads back with the
  // host "a": such paths are rooted, so that a URL's text always parses to the same URL.
  // A drive-like first segment, which a resolved reference can produce, is escaped likewise.
  const auto path = getPart(u, CURLUPART_PATH);
  std::string rooted = path.value_or("");
  if (rooted.empty() || rooted.front() != '/') rooted.insert(rooted.begin(), '/');
  const auto scheme = getPart(u, CURLUPART_SCHEME);
  if (scheme == "file") escapeDriveLetter(rooted);
  if (rooted != path) curl_url_set(u, CURLUPART_PATH, rooted.c_str(), 0);
  return getPart(u, CURLUPART_URL);
}

// The parts of a stored URL. Stored texts always parse: they came out of libcurl.
struct Parts {
  std::string scheme;
  std::string host;
  std::optional<int> port;
  std::string path;  // encoded, "/" at least for URLs with an authority
  std::optional<std::string> query;
  std::optional<std::string> fragment;
  std::string prefix;  // "scheme://authority", what precedes the path
};

Parts split(const std::string& text) {
  Parts p;
  CurlUrlPtr u = parseHandle(text);
  if (!u) return p;
  p.scheme = getPart(u.get(), CURLUPART_SCHEME).value_or("");
  p.host = getPart(u.get(), CURLUPART_HOST, CURLU_URLDECODE).value_or("");
  if (p.host.size() >= 2 && p.host.front() == '[' && p.host.back() == ']') {
    p.host = p.host.substr(1, p.host.size() - 2);
  }
  if (auto port = getPart(u.get(), CURLUPART_PORT)) {
    try {
      p.port = std::stoi(*port);
    } catch (...) {
      p.port = std::nullopt;
    }
  }
  p.path = getPart(u.get(), CURLUPART_PATH).value_or("/");
  p.query = getPart(u.get(), CURLUPART_QUERY);
  p.fragment = getPart(u.get(), CURLUPART_FRAGMENT);
  // The text up to the path: what libcurl writes for this URL with the path "/" and neither
  // query nor fragment, less that "/".
  curl_url_set(u.get(), CURLUPART_QUERY, nullptr, 0);
  curl_url_set(u.get(), CURLUPART_FRAGMENT, nullptr, 0);
  curl_url_set(u.get(), CURLUPART_PATH, "/", 0);
  p.prefix = normalised(u.get()).value_or("");
  if (!p.prefix.empty() && p.prefix.back() == '/') p.prefix.pop_back();
  return p;
}

std::string compose(const Parts& p, const std::string& encodedPath, bool keepQuery) {
  std::string text = p.prefix + encodedPath;
  if (keepQuery && p.query) text += "?" + *p.query;
  if (keepQuery && p.fragment) text += "#" + *p.fragment;
  return text;
}

// The path without its trailing "/" (the root path stays "/").
std::string_view trimTrailingSlash(std::string_view path) {
  if (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return path;
}

// Splits an encoded path into the part before its last component, the component and the
// trailing "/" if any.
struct LastComponent {
  std::string_view head;  // includes the separating "/"
  std::string_view name;
  std::string_view tail;  // "/" or ""
};

LastComponent lastComponentOf(std::string_view path) {
  LastComponent c;
  if (path.size() > 1 && path.back() == '/') {
    c.tail = path.substr(path.size() - 1);
    path.remove_suffix(1);
  }
  const auto slash = path.rfind('/');
  if (slash == std::string_view::npos) {
    c.name = path;
  } else {
    c.head = path.substr(0, slash + 1);
    c.name = path.substr(slash + 1);
  }
  return c;
}

// The position of the dot that starts a name's extension, or npos. A leading dot (".hidden")
// and a trailing dot ("a.") start none.
std::size_t extensionDot(std::string_view name) {
  const auto dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size()) {
    return std::string_view::npos;
  }
  return dot;
}

}  // namespace

std::optional<Url> Url::parse(std::string_view text) {
  if (text.empty()) return std::nullopt;
  CurlUrlPtr u = parseHandle(escapeLooseCharacters(text));
  if (!u) return std::nullopt;
  auto out = normalised(u.get());
  if (!out) return std::nullopt;
  return Url(std::move(*out));
}

Url Url::fileURL(const std::filesystem::path& path, bool isDirectory) {
  std::error_code ec;
  std::filesystem::path absolute = std::filesystem::absolute(path, ec);
  if (ec) absolute = std::filesystem::path("/") / path;
  std::string encoded = encodePath(absolute.native(), /*keepSlash=*/true);
  if (encoded.empty() || encoded.front() != '/') encoded.insert(encoded.begin(), '/');
  escapeDriveLetter(encoded);
  if (isDirectory && encoded.back() != '/') encoded += '/';
  std::string text = "file://" + encoded;
  // Every byte outside the path character set is escaped, so libcurl accepts the text; its
  // normalised form is what we keep.
  if (CurlUrlPtr u = parseHandle(text)) {
    if (auto out = normalised(u.get())) return Url(std::move(*out));
  }
  return Url(std::move(text));
}

std::optional<Url> Url::resolve(std::string_view relative, const Url& base) {
  // libcurl resolves references the way it follows redirects; two forms that a redirect never
  // carries it gets wrong: the empty reference and a bare fragment, both of which keep the
  // base's path and query.
  if (relative.empty() || relative.front() == '#') {
    Parts p = split(base.text_);
    p.fragment = std::nullopt;
    std::string text = compose(p, p.path, /*keepQuery=*/true);
    if (relative.size() > 1) text += escapeLooseCharacters(relative);
    return parse(text);
  }
  CurlUrlPtr u = parseHandle(base.text_);
  if (!u) return std::nullopt;
  const std::string ref = escapeLooseCharacters(relative);
  if (curl_url_set(u.get(), CURLUPART_URL, ref.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) {
    return std::nullopt;
  }
  auto out = normalised(u.get());
  if (!out) return std::nullopt;
  return Url(std::move(*out));
}

std::string Url::scheme() const {
  return split(text_).scheme;
}

std::string Url::host() const {
  return split(text_).host;
}

std::optional<int> Url::port() const {
  return split(text_).port;
}

std::string Url::path() const {
  return decode(trimTrailingSlash(encodedPath()));
}

std::optional<std::string> Url::query() const {
  return split(text_).query;
}

std::vector<Url::QueryItem> Url::queryItems() const {
  std::vector<QueryItem> items;
  const auto query = this->query();
  if (!query || query->empty()) return items;
  std::string_view rest = *query;
  for (;;) {
    const auto amp = rest.find('&');
    const std::string_view item = rest.substr(0, amp);
    const auto eq = item.find('=');
    if (eq == std::string_view::npos) {
      items.push_back(QueryItem{decode(item), std::nullopt});
    } else {
      items.push_back(QueryItem{decode(item.substr(0, eq)), decode(item.substr(eq + 1))});
    }
    if (amp == std::string_view::npos) break;
    rest.remove_prefix(amp + 1);
  }
  return items;
}

bool Url::isFileURL() const {
  return scheme() == "file";
}

std::filesystem::path Url::filePath() const {
  if (!isFileURL()) return {};
  return std::filesystem::path(path());
}

std::vector<std::string> Url::pathComponents() const {
  std::vector<std::string> out;
  const std::string encoded = encodedPath();
  std::string_view rest = encoded;
  if (rest.empty()) return out;
  if (rest.front() == '/') out.emplace_back("/");
  while (!rest.empty()) {
    const auto slash = rest.find('/');
    const std::string_view piece = rest.substr(0, slash);
    if (!piece.empty()) out.push_back(decode(piece));
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
  return out;
}

std::string Url::lastPathComponent() const {
  const auto components = pathComponents();
  return components.empty() ? std::string() : components.back();
}

std::string Url::pathExtension() const {
  const std::string name = lastPathComponent();
  const auto dot = extensionDot(name);
  return dot == std::string::npos ? std::string() : name.substr(dot + 1);
}

Url Url::appendingPathComponent(std::string_view component, bool isDirectory) const {
  const Parts p = split(text_);
  std::string path = p.path;
  std::string encoded = encodePath(component, /*keepSlash=*/true);
  if (path.empty() || path.back() != '/') path += '/';
  if (!encoded.empty() && encoded.front() == '/') encoded.erase(0, 1);
  path += encoded;
  if (isDirectory && path.back() != '/') path += '/';
  return withEncodedPath(path, /*keepQuery=*/true);
}

Url Url::appendingPathExtension(std::string_view extension) const {
  const Parts p = split(text_);
  const LastComponent last = lastComponentOf(p.path);
  if (extension.empty() || last.name.empty()) return *this;
  const std::string path = std::string(last.head) + std::string(last.name) + "." +
                           encodePath(extension, /*keepSlash=*/false) + std::string(last.tail);
  return withEncodedPath(path, /*keepQuery=*/true);
}

Url Url::deletingPathExtension() const {
  const Parts p = split(text_);
  const LastComponent last = lastComponentOf(p.path);
  const auto dot = extensionDot(last.name);
  if (dot == std::string_view::npos) return *this;
  const std::string path =
      std::string(last.head) + std::string(last.name.substr(0, dot)) + std::string(last.tail);
  return withEncodedPath(path, /*keepQuery=*/true);
}

Url Url::deletingLastPathComponent() const {
  const Parts p = split(text_);
  const LastComponent last = lastComponentOf(p.path);
  if (last.head.empty()) return withEncodedPath("/", /*keepQuery=*/true);
  return withEncodedPath(std::string(last.head), /*keepQuery=*/true);
}

Url Url::withEncodedPath(const std::string& encodedPath, bool keepQuery) const {
  const Parts p = split(text_);
  std::string text = compose(p, encodedPath, keepQuery);
  if (CurlUrlPtr u = parseHandle(text)) {
    if (auto out = normalised(u.get())) return Url(std::move(*out));
  }
  return *this;
}

std::string Url::encodedPath() const {
  return split(text_).path;
}

}  // namespace lumo
