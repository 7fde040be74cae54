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

TEST(UrlParse, RejectsTextThatIsNotAnAbsoluteUrl) {
  for (const char* text : {"", "a/b", "/tmp/x", "example.com", "  http://h/x", "http://",
                           "https://h/a\tb", "http://h:99999/", "http://h/a\nb"}) {
    EXPECT_FALSE(Url::parse(text).has_value()) << text;
  }
}

TEST(UrlParse, SplitsComponents) {
  const Url url = mustParse("https://Example.com:8443/a%20b/c.tar.gz?x=1&y#frag");
  EXPECT_EQ(url.scheme(), "https");
  EXPECT_EQ(url.host(), "Example.com");
  EXPECT_EQ(url.port(), 8443);
  EXPECT_EQ(url.path(), "/a b/c.tar.gz");
  EXPECT_EQ(url.query(), "x=1&y");
  EXPECT_FALSE(url.isFileURL());
  EXPECT_TRUE(url.filePath().empty());
  EXPECT_EQ(mustParse("HTTP://h/x").scheme(), "http");
  EXPECT_EQ(mustParse("http://h/x").port(), std::nullopt);
  EXPECT_EQ(mustParse("http://[::1]:8080/x").host(), "::1");
}

TEST(UrlParse, EscapesSpacesAndUnicodeButKeepsExistingEscapesAndDotSegments) {
  EXPECT_EQ(mustParse("https://h/a b/é.png?q=a b").absoluteString(),
            "https://h/a%20b/%C3%A9.png?q=a%20b");
  EXPECT_EQ(mustParse("https://h/a%20b").absoluteString(), "https://h/a%20b");
  EXPECT_EQ(mustParse("https://h/a%2Fb").path(), "/a/b");
  // A stray percent sign is kept; it decodes to itself.
  EXPECT_EQ(mustParse("https://h/100%").path(), "/100%");
  EXPECT_EQ(mustParse("https://h/a b"), mustParse("https://h/a%20b"));

  // Dot segments are kept; a query without items has none.
  EXPECT_EQ(mustParse("https://h/a/../b").path(), "/a/../b");
  EXPECT_TRUE(mustParse("https://h/p?").queryItems().empty());
  EXPECT_EQ(mustParse("https://h/p").query(), std::nullopt);
}

// Found by fuzzing: libcurl writes "file:" with a relative path as "file://h//", whose "h"
// then reads as a host (or fails), and refuses the paths it takes for Windows drives, so that
// a URL's own text did not parse back to it.
TEST(UrlParse, FileUrlsThatLibcurlWouldMisreadAreEscapedAndReadBackAsThemselves) {
  const std::string found[] = {"file:h//",
                               "file:\x8e\x8e\x8e\x8e\x8e\x8e\x8e/:[::/1]:8/..\xac\xac\xac"
                               "0////tmp/a%20b.png"};
  for (const std::string& text : found) {
    const Url url = mustParse(text);
    EXPECT_TRUE(url.isFileURL()) << url.absoluteString();
    EXPECT_EQ(Url::parse(url.absoluteString()), url) << url.absoluteString();
  }
  EXPECT_EQ(mustParse("file:h//").absoluteString(), "file:///h//");

  // libcurl refuses "file:///s:/..." (a Windows drive); here "s:" is a folder name.
  const auto resolved = Url::resolve(
      "/../s://c.tar.gxa\xd8p\xc5"
      "e.com:/t/(%2mp08443/a%4y#\xa0ra\xd8",
      Url::fileURL("/d/", true));
  ASSERT_TRUE(resolved);
  EXPECT_EQ(Url::parse(resolved->absoluteString()), resolved) << resolved->absoluteString();
  EXPECT_EQ(resolved->path(),
            "/s://c.tar.gxa\xd8p\xc5"
            "e.com:/t/(%2mp08443/a%4y");
  for (const char* path : {"/a:/b.png", "/Z:"}) {
    EXPECT_EQ(Url::fileURL(path).filePath(), path);
    EXPECT_EQ(Url::parse(Url::fileURL(path).absoluteString()), Url::fileURL(path));
  }
}

TEST(UrlFile, FromPathEncodesAndDecodesBack) {
  const Url url = Url::fileURL("/tmp/a b.png");
  EXPECT_EQ(url.absoluteString(), "file:///tmp/a%20b.png");
  EXPECT_TRUE(url.isFileURL());
  EXPECT_EQ(url.host(), "");
  EXPECT_EQ(url.filePath(), "/tmp/a b.png");
  EXPECT_EQ(url.lastPathComponent(), "a b.png");
  EXPECT_EQ(url.pathExtension(), "png");

  for (const char* path : {"/tmp/100% sure?#;.txt", "/tmp/Ünïcødé 日本.mov", "/tmp/a+b=c&d",
                           "/tmp/dots.in.folder/file"}) {
    const Url u = Url::fileURL(path);
    EXPECT_EQ(u.filePath(), path);
    EXPECT_EQ(Url::parse(u.absoluteString()), u) << u.absoluteString();
  }
  EXPECT_EQ(Url::fileURL("/tmp/100%?#").absoluteString(), "file:///tmp/100%25%3F%23");

  // Bytes that are not UTF-8 round-trip.
  const Url bad = Url::fileURL(std::string("/tmp/bad\xff\xfe name"));
  EXPECT_EQ(bad.absoluteString(), "file:///tmp/bad%FF%FE%20name");
  EXPECT_EQ(bad.filePath(), std::string("/tmp/bad\xff\xfe name"));
  EXPECT_EQ(bad.lastPathComponent(), std::string("bad\xff\xfe name"));
}

TEST(UrlFile, DirectoriesAndRelativePaths) {
  const Url dir = Url::fileURL("/tmp/my.folder", /*isDirectory=*/true);
  EXPECT_EQ(dir.absoluteString(), "file:///tmp/my.folder/");
  EXPECT_EQ(dir.filePath(), "/tmp/my.folder");
  EXPECT_EQ(dir.lastPathComponent(), "my.folder");
  EXPECT_EQ(Url::fileURL("/").filePath(), "/");
  EXPECT_EQ(Url::fileURL("/").absoluteString(), "file:///");
  EXPECT_EQ(mustParse("file:///").absoluteString(), "file:///");

  const Url relative = Url::fileURL("rel/x.txt");
  EXPECT_EQ(relative.filePath(), std::filesystem::current_path() / "rel/x.txt");
  EXPECT_EQ(mustParse("file://localhost/tmp/x").filePath(), "/tmp/x");
}

TEST(UrlPath, LastComponentAndExtension) {
  struct Case {
    const char* url;
    const char* last;
    const char* ext;
  };
  for (const Case& c :
       {Case{"https://h/a.tar.gz", "a.tar.gz", "gz"}, Case{"https://h/dir/.hidden", ".hidden", ""},
        Case{"https://h/x.", "x.", ""}, Case{"https://h/README", "README", ""},
        Case{"https://h/my.folder/file", "file", ""}, Case{"https://h/a/b.d/", "b.d", "d"},
        Case{"https://h/", "/", ""}, Case{"https://h/%C3%A9t%C3%A9.JPG", "été.JPG", "JPG"}}) {
    const Url url = mustParse(c.url);
    EXPECT_EQ(url.lastPathComponent(), c.last) << c.url;
    EXPECT_EQ(url.pathExtension(), c.ext) << c.url;
  }
  EXPECT_EQ(mustParse("https://h/a//b/").pathComponents(),
            (std::vector<std::string>{"/", "a", "b"}));
  EXPECT_EQ(mustParse("https://h/a%2Fb/c").pathComponents(),
            (std::vector<std::string>{"/", "a/b", "c"}));
}

TEST(UrlPath, AppendingComponentEncodesWhatAPathCannotHold) {
  const Url base = mustParse("https://cdn.example.com");
  EXPECT_EQ(base.appendingPathComponent("abc.png").absoluteString(),
            "https://cdn.example.com/abc.png");
  const Url dir = mustParse("https://h/a/");
  EXPECT_EQ(dir.appendingPathComponent("x y%?#;é").absoluteString(),
            "https://h/a/x%20y%25%3F%23%3B%C3%A9");
  EXPECT_EQ(dir.appendingPathComponent("x y%?#;é").lastPathComponent(), "x y%?#;é");
  EXPECT_EQ(mustParse("https://h/a").appendingPathComponent("b/c").absoluteString(),
            "https://h/a/b/c");
  EXPECT_EQ(mustParse("https://h/a").appendingPathComponent("/b").absoluteString(),
            "https://h/a/b");
  EXPECT_EQ(mustParse("https://h/a").appendingPathComponent("d", true).absoluteString(),
            "https://h/a/d/");
  EXPECT_EQ(mustParse("https://h/a?q=1").appendingPathComponent("b").absoluteString(),
            "https://h/a/b?q=1");
  EXPECT_EQ(Url::fileURL("/tmp/a.b", true).appendingPathComponent("c d.png").filePath(),
            "/tmp/a.b/c d.png");
}

TEST(UrlPath, ExtensionAndLastComponentEdits) {
  const Url url = Url::fileURL("/tmp/x.y/a.tar.gz");
  EXPECT_EQ(url.deletingPathExtension().filePath(), "/tmp/x.y/a.tar");
  EXPECT_EQ(url.deletingPathExtension().deletingPathExtension().filePath(), "/tmp/x.y/a");
  // A dot in a folder name is not an extension of the file.
  EXPECT_EQ(Url::fileURL("/tmp/x.y/a").deletingPathExtension().filePath(), "/tmp/x.y/a");
  EXPECT_EQ(Url::fileURL("/tmp/.hidden").deletingPathExtension().filePath(), "/tmp/.hidden");
  EXPECT_EQ(url.deletingPathExtension().appendingPathExtension("png").lastPathComponent(),
            "a.tar.png");
  EXPECT_EQ(Url::fileURL("/tmp/a").appendingPathExtension("m p4").absoluteString(),
            "file:///tmp/a.m%20p4");
  EXPECT_EQ(Url::fileURL("/tmp/d", true).appendingPathExtension("bundle").absoluteString(),
            "file:///tmp/d.bundle/");
  EXPECT_EQ(Url::fileURL("/tmp/a").appendingPathExtension(""), Url::fileURL("/tmp/a"));

  EXPECT_EQ(Url::fileURL("/tmp/a/b.png").deletingLastPathComponent().absoluteString(),
            "file:///tmp/a/");
  EXPECT_EQ(Url::fileURL("/tmp/a/", true).deletingLastPathComponent().absoluteString(),
            "file:///tmp/");
  EXPECT_EQ(mustParse("https://h/a").deletingLastPathComponent().absoluteString(), "https://h/");
  EXPECT_EQ(mustParse("https://h/").deletingLastPathComponent().absoluteString(), "https://h/");
}

TEST(UrlResolve, AgainstBase) {
  const Url base = mustParse("https://h/a/b/c?q=1#f");
  struct Case {
    const char* ref;
    const char* expected;
  };
  for (const Case& c : {Case{"../x", "https://h/a/x"}, Case{"d e", "https://h/a/b/d%20e"},
                        Case{"/root", "https://h/root"}, Case{"?y", "https://h/a/b/c?y"},
                        Case{"#g", "https://h/a/b/c?q=1#g"}, Case{"", "https://h/a/b/c?q=1"},
                        Case{"//other/p", "https://other/p"}, Case{"http://z/w", "http://z/w"},
                        Case{"./../../../g", "https://h/g"}}) {
    auto resolved = Url::resolve(c.ref, base);
    ASSERT_TRUE(resolved.has_value()) << c.ref;
    EXPECT_EQ(resolved->absoluteString(), c.expected) << c.ref;
  }
  EXPECT_FALSE(Url::resolve("http://", base).has_value());
}

TEST(UrlQuery, ItemsInOrderWithRepeatedAndValuelessItems) {
  const Url url = mustParse("https://h/p?x=1&x=2&flag&empty=&a%20b=c%26d&plus=a+b&=v");
  const std::vector<Url::QueryItem> expected{{"x", "1"},    {"x", "2"},     {"flag", std::nullopt},
                                             {"empty", ""}, {"a b", "c&d"}, {"plus", "a+b"},
                                             {"", "v"}};
  EXPECT_EQ(url.queryItems(), expected);
  EXPECT_EQ(mustParse("https://h/p?a=b=c").queryItems(),
            (std::vector<Url::QueryItem>{{"a", "b=c"}}));
  EXPECT_TRUE(mustParse("https://h/p").queryItems().empty());
}

TEST(UrlValue, EqualityOrderingAndHashing) {
  const Url a = mustParse("https://h/a");
  EXPECT_NE(a, mustParse("https://h/a/"));
  EXPECT_EQ(a, mustParse("https://h/a"));
  std::set<Url> ordered{mustParse("https://h/b"), a};
  EXPECT_EQ(*ordered.begin(), a);
  std::unordered_set<Url> hashed{a, mustParse("https://h/a"), Url::fileURL("/tmp/a")};
  EXPECT_EQ(hashed.size(), 2u);
}

}  // namespace
}  // namespace lumo
