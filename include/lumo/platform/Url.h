#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lumo/Export.h"

namespace lumo {

// An absolute URL: an http(s) address or a file URL, with the meaning of the desktop's URL
// value type.
//
//   auto url = Url::parse("https://example.com/a%20b/c.tar.gz?x=1&y");
//   url->lastPathComponent();   // "c.tar.gz"
//   url->pathExtension();       // "gz"
//   url->queryItems();          // {{"x", "1"}, {"y", nullopt}}
//
//   Url file = Url::fileURL("/tmp/a b.png");
//   file.absoluteString();      // "file:///tmp/a%20b.png"
//   file.filePath();            // "/tmp/a b.png"
//
// Only absolute URLs exist: text without a scheme does not parse. A `Url` is an immutable
// value; the path operations return new values. Parsing and normalisation are libcurl's
// (curl_url), so the text a `Url` produces is what libcurl will send; one consequence is that
// an http(s) URL without a path gets the path "/" ("https://h" reads back as "https://h/").
//
// The path is kept percent-encoded inside; accessors that say "decoded" undo the encoding,
// byte for byte (a file name need not be UTF-8).
class LUMO_API Url {
 public:
  // A name/value pair of the query. `value` is absent for an item without "=" ("?flag").
  struct QueryItem {
    std::string name;
    std::optional<std::string> value;

    friend bool operator==(const QueryItem&, const QueryItem&) = default;
  };

  // Parses an absolute URL ("https://host/path", "file:///tmp/x"). Returns nullopt for text
  // that is not a URL, including relative references ("a/b", "/tmp/x") and empty text.
  // Characters a URL cannot hold (spaces, non-ASCII) are percent-encoded on the way in.
  static std::optional<Url> parse(std::string_view text);

  // The file URL of `path`. A relative path is made absolute against the current directory.
  // `isDirectory` adds a trailing "/" (as folders' URLs have). Bytes that a path cannot hold
  // in a URL are percent-encoded: fileURL("/tmp/a b.png") is "file:///tmp/a%20b.png".
  static Url fileURL(const std::filesystem::path& path, bool isDirectory = false);

  // Resolves `relative` (a reference such as "../x?q", "/root", "//host/p" or a full URL)
  // against `base`, as a browser would. Returns nullopt when the result is not a URL.
  static std::optional<Url> resolve(std::string_view relative, const Url& base);

  // The full text of the URL, percent-encoded ("file:///tmp/a%20b.png").
  const std::string& absoluteString() const { return text_; }

  // The scheme, lower case ("https", "file").
  std::string scheme() const;
  // The host, empty when there is none (file URLs).
  std::string host() const;
  // The port written in the URL, when there is one.
  std::optional<int> port() const;
  // The path, percent-decoded ("/a b/c.png"), without a trailing "/" (except for "/").
  std::string path() const;
  // The query as written, without "?" and still encoded; nullopt when there is no "?".
  std::optional<std::string> query() const;
  // The query's items in order, repeated names and value-less items included. Names and
  // values are percent-decoded, "+" is kept as is.
  std::vector<QueryItem> queryItems() const;

  // True for "file:" URLs.
  bool isFileURL() const;
  // The file-system path of a file URL, decoded byte for byte, without the trailing "/" of a
  // folder URL (except for "/"). Empty for other URLs.
  std::filesystem::path filePath() const;

  // The last component of the path, decoded ("c.tar.gz"); "/" for the root path; empty when
  // the path is empty. A trailing "/" is ignored ("https://h/a/b/" gives "b").
  std::string lastPathComponent() const;
  // The extension of the last component, decoded, without the dot: "gz" for "a.tar.gz", ""
  // for ".hidden", "x." or "README".
  std::string pathExtension() const;
  // The decoded components of the path: "/" first for an absolute path, then each name
  // ("/a/b/" gives {"/", "a", "b"}).
  std::vector<std::string> pathComponents() const;

  // This URL with `component` appended to its path. Characters a path cannot hold are
  // percent-encoded ("a b" → "a%20b", "%" → "%25", "?" → "%3F"); "/" stays a separator.
  // `isDirectory` gives the result a trailing "/". Query and fragment are kept.
  Url appendingPathComponent(std::string_view component, bool isDirectory = false) const;
  // This URL with "." and `extension` added to its last component ("a.png" + "gz" →
  // "a.png.gz"). An empty extension or an empty path leaves the URL unchanged.
  Url appendingPathExtension(std::string_view extension) const;
  // This URL without the extension of its last component ("a.tar.gz" → "a.tar"). Unchanged
  // when there is none.
  Url deletingPathExtension() const;
  // This URL without its last path component, as a folder URL ("/a/b.png" → "/a/"; "/a/" →
  // "/"; "/" stays "/"). Query and fragment are kept.
  Url deletingLastPathComponent() const;

  // Two URLs are equal when their texts are equal (as on the desktop, "a%20b" and "a b"
  // parse to the same text, but "/a" and "/a/" differ).
  friend bool operator==(const Url& a, const Url& b) { return a.text_ == b.text_; }
  friend bool operator<(const Url& a, const Url& b) { return a.text_ < b.text_; }

 private:
  explicit Url(std::string text) : text_(std::move(text)) {}

  // Builds a URL from this one with its path (encoded) replaced; drops query and fragment
  // when `keepQuery` is false.
  Url withEncodedPath(const std::string& encodedPath, bool keepQuery) const;
  // The path as stored (encoded).
  std::string encodedPath() const;

  std::string text_;  // normalised by libcurl, never empty
};

}  // namespace lumo

template <>
struct std::hash<lumo::Url> {
  std::size_t operator()(const lumo::Url& url) const noexcept {
    return std::hash<std::string>()(url.absoluteString());
  }
};
