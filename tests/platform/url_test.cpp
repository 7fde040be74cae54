#include "lumo/platform/Url.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <unordered_set>

namespace lumo {
namespace {

Url mustParse(std::string_view text) {
  auto url = Url::parse(text);
  EXPECT_TRUE(url.has_value()) << text;
  return url.value_or(Url::fileURL("/"));
}

std::string parts(const Url& u) {
  return u.scheme() + "|" + u.host() + "|" + std::to_string(u.port().value_or(-1)) + "|" +
         u.path() + "|" + u.query().value_or("(none)") + "|" + u.filePath().string();
}

TEST(Url, ParsesAbsoluteUrlsIntoComponentsEscapingWhatNeedsIt) {
  for (const char* text : {"", "a/b", "/tmp/x", "example.com", "  http://h/x", "http://",
                           "https://h/a\tb", "http://h:99999/", "http://h/a\nb"})
    EXPECT_FALSE(Url::parse(text).has_value()) << text;
  const Url url = mustParse("HTTPS://Example.com:8443/a%20b/c.tar.gz?x=1&y#frag");
  EXPECT_FALSE(url.isFileURL());
  EXPECT_EQ(parts(url), "https|Example.com|8443|/a b/c.tar.gz|x=1&y|");
  EXPECT_EQ(parts(mustParse("http://[::1]/x")), "http|::1|-1|/x|(none)|");
  EXPECT_EQ(parts(mustParse("file://localhost/tmp/x")), "file||-1|/tmp/x|(none)|/tmp/x");
  // Text in, absoluteString out; a stray percent sign and dot segments are kept.
  // clang-format off
  const std::pair<const char*, const char*> texts[] = {
      {"https://h/a b/é.png?q=a b", "https://h/a%20b/%C3%A9.png?q=a%20b"},
      {"https://h/a%20b", "https://h/a%20b"}, {"https://h/100%", "https://h/100%"},
      {"https://h/a/../b", "https://h/a/../b"}, {"file:///", "file:///"}, {"file:h//", "file:///h//"}};
  // clang-format on
  for (const auto& [text, absolute] : texts) EXPECT_EQ(mustParse(text).absoluteString(), absolute);
  EXPECT_EQ(mustParse("https://h/a%2Fb").path(), "/a/b");
  EXPECT_EQ(mustParse("https://h/a b"), mustParse("https://h/a%20b"));
}

// Found by fuzzing: libcurl writes "file:" with a relative path as "file://h//", whose "h"
// then reads as a host (or fails), and refuses the paths it takes for Windows drives, so that
// a URL's own text did not parse back to it.
TEST(Url, FileUrlsThatLibcurlWouldMisreadAreEscapedAndReadBackAsThemselves) {
  auto resolved = Url::resolve(
      "/../s://c.tar.gxa\xd8p\xc5"
      "e.com:/t/(%2mp08443/a%4y#\xa0ra\xd8",
      Url::fileURL("/d/", true));
  ASSERT_TRUE(resolved);
  EXPECT_EQ(resolved->path(),
            "/s://c.tar.gxa\xd8p\xc5"
            "e.com:/t/(%2mp08443/a%4y");
  for (const Url& url : {mustParse("file:h//"), *resolved,
                         mustParse("file:\x8e\x8e\x8e\x8e\x8e\x8e\x8e/:[::/1]:8/..\xac\xac\xac"
                                   "0////tmp/a%20b.png"),
                         Url::fileURL("/a:/b.png"), Url::fileURL("/Z:")}) {
    EXPECT_TRUE(url.isFileURL()) << url.absoluteString();
    EXPECT_EQ(Url::parse(url.absoluteString()), url) << url.absoluteString();
  }
}

TEST(Url, FilePathsRoundTripWhateverTheirBytes) {
  // clang-format off
  const std::pair<std::string, const char*> paths[] = {
      {"/tmp/a b.png", "file:///tmp/a%20b.png"}, {"/tmp/100% sure?#;.txt", "file:///tmp/100%25%20sure%3F%23%3B.txt"},
      {"/tmp/bad\xff\xfe name", "file:///tmp/bad%FF%FE%20name"}, {"/tmp/Ünïcødé 日本.mov", nullptr},
      {"/tmp/a+b=c&d", nullptr}, {"/", "file:///"}, {"/a:/b.png", nullptr}};
  // clang-format on
  for (const auto& [path, text] : paths) {
    const Url u = Url::fileURL(path);
    EXPECT_TRUE(u.filePath() == path && u.host().empty() && Url::parse(u.absoluteString()) == u)
        << path;
    EXPECT_TRUE(!text || u.absoluteString() == text) << u.absoluteString();
  }
  EXPECT_EQ(Url::fileURL("/tmp/my.folder", true).absoluteString(), "file:///tmp/my.folder/");
  EXPECT_EQ(Url::fileURL("/tmp/my.folder", true).filePath(), "/tmp/my.folder");
  EXPECT_EQ(Url::fileURL("rel/x.txt").filePath(), std::filesystem::current_path() / "rel/x.txt");
}

TEST(Url, PathComponentsExtensionsAndEdits) {
  // clang-format off
  const char* const cases[][3] = {
      {"https://h/a.tar.gz", "a.tar.gz", "gz"}, {"https://h/dir/.hidden", ".hidden", ""},
      {"https://h/x.", "x.", ""}, {"https://h/my.folder/file", "file", ""},
      {"https://h/a/b.d/", "b.d", "d"}, {"https://h/", "/", ""},
      {"https://h/%C3%A9t%C3%A9.JPG", "été.JPG", "JPG"}};
  // clang-format on
  for (const auto& [url, last, ext] : cases) {
    EXPECT_EQ(mustParse(url).lastPathComponent(), last) << url;
    EXPECT_EQ(mustParse(url).pathExtension(), ext) << url;
  }
  EXPECT_EQ(mustParse("https://h/a%2Fb//c/").pathComponents(),
            (std::vector<std::string>{"/", "a/b", "c"}));
  const Url dir = mustParse("https://h/a/");
  EXPECT_EQ(dir.appendingPathComponent("x y%?#;é").absoluteString(),
            "https://h/a/x%20y%25%3F%23%3B%C3%A9");
  EXPECT_EQ(dir.appendingPathComponent("x y%?#;é").lastPathComponent(), "x y%?#;é");
  // Edits: (result, expected absoluteString).
  // clang-format off
  const std::pair<Url, const char*> edits[] = {
      {mustParse("https://cdn.example.com").appendingPathComponent("abc.png"), "https://cdn.example.com/abc.png"},
      {mustParse("https://h/a").appendingPathComponent("/b/c"), "https://h/a/b/c"},
      {mustParse("https://h/a").appendingPathComponent("d", true), "https://h/a/d/"},
      {mustParse("https://h/a?q=1").appendingPathComponent("b"), "https://h/a/b?q=1"},
      {Url::fileURL("/tmp/x.y/a.tar.gz").deletingPathExtension(), "file:///tmp/x.y/a.tar"},
      {Url::fileURL("/tmp/x.y/a").deletingPathExtension(), "file:///tmp/x.y/a"},
      {Url::fileURL("/tmp/.hidden").deletingPathExtension(), "file:///tmp/.hidden"},
      {Url::fileURL("/tmp/a").appendingPathExtension("m p4"), "file:///tmp/a.m%20p4"},
      {Url::fileURL("/tmp/d", true).appendingPathExtension("bundle"), "file:///tmp/d.bundle/"},
      {Url::fileURL("/tmp/a").appendingPathExtension(""), "file:///tmp/a"},
      {Url::fileURL("/tmp/a/b.png").deletingLastPathComponent(), "file:///tmp/a/"},
      {Url::fileURL("/tmp/a/", true).deletingLastPathComponent(), "file:///tmp/"},
      {mustParse("https://h/").deletingLastPathComponent(), "https://h/"}};
  // clang-format on
  for (const auto& [url, expected] : edits) EXPECT_EQ(url.absoluteString(), expected);
}

TEST(Url, ResolvesReferencesAndReadsQueryItems) {
  const Url base = mustParse("https://h/a/b/c?q=1#f");
  // clang-format off
  const std::pair<const char*, const char*> refs[] = {
      {"../x", "https://h/a/x"}, {"d e", "https://h/a/b/d%20e"}, {"/root", "https://h/root"},
      {"?y", "https://h/a/b/c?y"}, {"#g", "https://h/a/b/c?q=1#g"}, {"", "https://h/a/b/c?q=1"},
      {"//other/p", "https://other/p"}, {"http://z/w", "http://z/w"}, {"./../../../g", "https://h/g"}};
  // clang-format on
  for (const auto& [ref, expected] : refs) {
    EXPECT_EQ(Url::resolve(ref, base).value_or(base).absoluteString(), expected) << ref;
  }
  EXPECT_FALSE(Url::resolve("http://", base).has_value());

  // clang-format off
  EXPECT_EQ(mustParse("https://h/p?x=1&x=2&flag&empty=&a%20b=c%26d&plus=a+b&=v&a=b=c").queryItems(),
            (std::vector<Url::QueryItem>{{"x", "1"}, {"x", "2"}, {"flag", std::nullopt}, {"empty", ""},
                                         {"a b", "c&d"}, {"plus", "a+b"}, {"", "v"}, {"a", "b=c"}}));
  // clang-format on
  EXPECT_TRUE(mustParse("https://h/p?").queryItems().empty());

  const Url a = mustParse("https://h/a");
  EXPECT_NE(a, mustParse("https://h/a/"));
  EXPECT_EQ(*std::set<Url>({mustParse("https://h/b"), a}).begin(), a);
  EXPECT_EQ(std::unordered_set<Url>({a, mustParse("https://h/a"), Url::fileURL("/tmp/a")}).size(),
            2u);
}

}  // namespace
}  // namespace lumo
