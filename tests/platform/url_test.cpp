#include "lumo/platform/Url.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <set>
#include <unordered_set>

#include "../common/TestFiles.h"
#include "lumo/platform/FileManager.h"
#include "lumo/platform/MimeTypes.h"

namespace lumo {
namespace {

using namespace testing_files;

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
  for (const auto& [url, last, ext] : cases)
    EXPECT_EQ(mustParse(url).lastPathComponent() + "|" + mustParse(url).pathExtension(),
              last + ("|" + std::string(ext)));
  EXPECT_EQ(mustParse("https://h/a%2Fb//c/").pathComponents(),
            (std::vector<std::string>{"/", "a/b", "c"}));
  const Url added = mustParse("https://h/a/").appendingPathComponent("x y%?#;é");
  EXPECT_EQ(added.absoluteString() + " " + added.lastPathComponent(),
            "https://h/a/x%20y%25%3F%23%3B%C3%A9 x y%?#;é");
  // Edits: (result, expected absoluteString).
  // clang-format off
  const std::pair<Url, const char*> edits[] = {
      {mustParse("https://cdn.example.com").appendingPathComponent("abc.png"), "https://cdn.example.com/abc.png"},
      {mustParse("https://h/a").appendingPathComponent("/b/c"), "https://h/a/b/c"}, {mustParse("https://h/a").appendingPathComponent("d", true), "https://h/a/d/"},
      {mustParse("https://h/a?q=1").appendingPathComponent("b"), "https://h/a/b?q=1"}, {mustParse("https://h/").deletingLastPathComponent(), "https://h/"},
      {Url::fileURL("/tmp/x.y/a.tar.gz").deletingPathExtension(), "file:///tmp/x.y/a.tar"}, {Url::fileURL("/tmp/x.y/a").deletingPathExtension(), "file:///tmp/x.y/a"},
      {Url::fileURL("/tmp/.hidden").deletingPathExtension(), "file:///tmp/.hidden"}, {Url::fileURL("/tmp/a").appendingPathExtension("m p4"), "file:///tmp/a.m%20p4"},
      {Url::fileURL("/tmp/d", true).appendingPathExtension("bundle"), "file:///tmp/d.bundle/"}, {Url::fileURL("/tmp/a").appendingPathExtension(""), "file:///tmp/a"},
      {Url::fileURL("/tmp/a/b.png").deletingLastPathComponent(), "file:///tmp/a/"}, {Url::fileURL("/tmp/a/", true).deletingLastPathComponent(), "file:///tmp/"},
      {Url::fileURL("/tmp/my.folder", true), "file:///tmp/my.folder/"}};
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
  for (const auto& [ref, expected] : refs)
    EXPECT_EQ(Url::resolve(ref, base).value_or(base).absoluteString(), expected) << ref;
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

template <typename T>
int errorCode(const Result<T>& result) {
  const FileError* error = result ? nullptr : result.error().template as<FileError>();
  return result ? 0 : error ? error->code : -1;
}
FileManager& fm = FileManager::defaultManager();

TEST(FileManager, QueriesListsAndCreatesFolders) {
  TempDir dir;
  writeFile(dir / "five", "12345");
  fs::create_directory(dir / "folder");
  fs::create_symlink(dir / "five", dir / "link");
  fs::create_symlink(dir / "gone", dir / "dangling");
  writeFile(dir / ".hidden", "");
  writeFile(dir / "line\nbreak \xff.png", "");
  setModificationTime(dir / "five", 1672931045, 123456789);
  EXPECT_EQ(fm.fileSize(dir / "link"), 5);
  EXPECT_FALSE(fm.fileSize(dir / "folder") || fm.fileSize(dir / "missing") || fm.fileSize("") ||
               fm.fileExists(dir / "dangling") || fm.isDirectory(dir / "five") ||
               fm.contentModificationDate(dir / "missing"));
  EXPECT_TRUE(fm.fileExists(dir / "folder") && fm.isDirectory(dir / "folder"));
  EXPECT_EQ(fm.contentModificationDate(dir / "five"),
            FileManager::Date(std::chrono::nanoseconds(1672931045123456789LL)));
  std::multiset<std::string> names;
  const auto listed = fm.contentsOfDirectory(dir.path(), true);
  for (const auto& path : listed.value()) names.insert(path.filename());
  EXPECT_EQ(names, (std::multiset<std::string>{"dangling", "five", "folder", "line\nbreak \xff.png",
                                               "link"}));
  EXPECT_EQ(fm.contentsOfDirectory(dir.path(), false)->size(), 6u);
  // Error numbers of: listing a missing folder and a file, then creating a/b four times.
  EXPECT_EQ(std::vector<int>({errorCode(fm.contentsOfDirectory(dir / "missing", true)),
                              errorCode(fm.contentsOfDirectory(dir / "five", true)),
                              errorCode(fm.createDirectory(dir / "a/b", false)),
                              errorCode(fm.createDirectory(dir / "a/b", true)),
                              errorCode(fm.createDirectory(dir / "a/b", true)),
                              errorCode(fm.createDirectory(dir / "a/b", false))}),
            std::vector<int>({ENOENT, ENOTDIR, ENOENT, 0, 0, EEXIST}));
  EXPECT_NE(errorCode(fm.createDirectory(dir / "five", true)), 0);
}

TEST(FileManager, CopiesMovesAndRemovesTreesKeepingModesDatesAndLinks) {
  TempDir disk, memory("/dev/shm");  // a file system of its own: a move there copies
  ASSERT_FALSE(memory.path().empty()) << "this test needs /dev/shm";
  fs::create_directories(disk / "src/inner");
  writeFile(disk / "src/inner/a.bin", std::string(300000, 'z'));
  fs::create_symlink("inner/a.bin", disk / "src/link");
  ::chmod((disk / "src/inner/a.bin").c_str(), 0640);
  setModificationTime(disk / "src/inner/a.bin", 1234567890, 500);
  setModificationTime(disk / "src/inner", 1234500000);
  ASSERT_EQ(errorCode(fm.copyItem(disk / "src", disk / "copy")), 0);
  ASSERT_TRUE(!errorCode(fm.moveItem(disk / "copy", memory / "moved")) &&
              !fs::exists(disk / "copy"));
  for (const fs::path& root : {disk / "src", memory / "moved"}) {
    EXPECT_TRUE(readFile(root / "inner/a.bin") == std::string(300000, 'z') &&
                fs::read_symlink(root / "link") == "inner/a.bin")
        << root;
    EXPECT_EQ(fs::status(root / "inner/a.bin").permissions() & fs::perms::all, fs::perms(0640));
    EXPECT_EQ(fm.contentModificationDate(root / "inner/a.bin"),
              FileManager::Date(std::chrono::nanoseconds(1234567890000000500LL)));
    EXPECT_EQ(fm.contentModificationDate(root / "inner"),
              FileManager::Date(std::chrono::seconds(1234500000)));
  }

  // Existing destinations are refused and both sides kept; a failed copy leaves no half copy.
  for (const auto& [file, text] :
       {std::pair{disk / "a", "a"}, {disk / "b", "b"}, {memory / "b", "c"}})
    writeFile(file, text);
  EXPECT_EQ(std::vector<int>({errorCode(fm.moveItem(disk / "a", disk / "b")),
                              errorCode(fm.moveItem(disk / "a", memory / "b")),
                              errorCode(fm.copyItem(disk / "a", disk / "b")),
                              errorCode(fm.copyItem(disk / "missing", disk / "c"))}),
            std::vector<int>({EEXIST, EEXIST, EEXIST, ENOENT}));
  EXPECT_EQ(readFile(disk / "a") + readFile(disk / "b") + readFile(memory / "b"), "abc");
  ASSERT_EQ(::mkfifo((disk / "src/pipe").c_str(), 0600), 0);
  EXPECT_TRUE(errorCode(fm.copyItem(disk / "src", disk / "copy")) && !fs::exists(disk / "copy"));

  // Removing a link leaves its target.
  fs::create_directory_symlink(disk / "src", disk / "src-link");
  EXPECT_EQ(std::vector<int>({errorCode(fm.removeItem(disk / "src-link")),
                              fs::exists(disk / "src/link"), errorCode(fm.removeItem(disk / "src")),
                              fs::exists(disk / "src"), errorCode(fm.removeItem(disk / "src"))}),
            std::vector<int>({0, 1, 0, 0, ENOENT}));
}

TEST(FileManager, XdgFoldersAndGroupContainers) {
  TempDir dir;
  ScopedEnv home("HOME", dir.path().native()), data("XDG_DATA_HOME", std::nullopt),
      config("XDG_CONFIG_HOME", std::nullopt), cache("XDG_CACHE_HOME", "relative/is/ignored");
  EXPECT_EQ(fm.url(SearchPathDirectory::library, false)->filePath(), dir / ".local/share");
  EXPECT_FALSE(fs::exists(dir / ".local/share"));
  EXPECT_EQ(fm.url(SearchPathDirectory::caches, false)->filePath(), dir / ".cache/lumo");
  EXPECT_EQ(*fm.url(SearchPathDirectory::pictures, true), Url::fileURL(dir / "Pictures", true));
  EXPECT_TRUE(fs::is_directory(dir / "Pictures"));
  fs::create_directories(dir / ".config");
  writeFile(dir / ".config/user-dirs.dirs",
            "# comment\nXDG_DESKTOP_DIR=\"$HOME/Desktop\"\nXDG_PICTURES_DIR=\"$HOME/Bilder\"\n");
  EXPECT_EQ(fm.url(SearchPathDirectory::pictures, false)->filePath(), dir / "Bilder");

  ScopedEnv data2("XDG_DATA_HOME", (dir / "data").native());
  EXPECT_FALSE(fm.containerURL("group.test.App"));
  fs::create_directories(dir / "data/group.test.App");
  EXPECT_EQ(fm.containerURL("group.test.App")->filePath(), dir / "data/group.test.App");
  for (const char* bad : {"", ".", "..", "a/b"}) EXPECT_FALSE(fm.containerURL(bad)) << bad;
}

TEST(MimeTypes, BuiltInTableThenGlobsByWeightThenMimeTypesFile) {
  TempDir dir;
  // clang-format off
  std::ofstream(dir / "globs2") << "# generated\n80:text/x-heavy:*.dup\n50:application/pdf:*.pdf\n50:text/x-c++src:*.C:cs\n"
      "50:text/x-csrc:*.c:cs\n50:application/x-compressed-tar:*.tar.gz\n50:application/gzip:*.gz\n50:text/x-light:*.dup\n"
      "50:application/x-sharedlib:*.so.[0-9]*\n50:text/x-makefile:makefile\n40:text/x-later:*.later\n"
      "90:text/x-later-heavier:*.later\ngarbage line\nx:y:*.bad\n";
  std::ofstream(dir / "mime.types") << "# comment\napplication/x-only-here  onlyhere oh\n"
      "application/pdf-from-mime-types pdf\nimage/png-from-mime-types png\nnoslash word\n";
  // clang-format on
  const MimeTypes types({dir / "globs2", dir / "mime.types"}),
      none({dir / "none", dir / "none-either"});
  // extension, type from the files, type without them ("" for none).
  // clang-format off
  const char* const cases[][3] = {
      {"PNG", "image/png", "image/png"}, {"jpg", "image/jpeg", "image/jpeg"}, {"mp4", "video/mp4", "video/mp4"},
      {"mov", "video/quicktime", "video/quicktime"}, {"PdF", "application/pdf", ""}, {"OH", "application/x-only-here", ""},
      {"dup", "text/x-heavy", ""}, {"later", "text/x-later-heavier", ""}, {"tar.gz", "application/x-compressed-tar", ""},
      {"gz", "application/gzip", ""}, {"C", "text/x-c++src", ""}, {"c", "text/x-csrc", ""}, {"", "", ""},
      {"so.1", "", ""}, {"makefile", "", ""}, {"bad", "", ""}, {"word", "", ""}, {"*", "", ""}, {".pdf", "", ""}};
  // clang-format on
  for (const auto& [ext, withFiles, without] : cases)
    EXPECT_EQ(types.mimeType(ext).value_or("") + "|" + none.mimeType(ext).value_or(""),
              withFiles + ("|" + std::string(without)));
  // clang-format off
  for (const auto& [extension, type] : {std::pair{"pdf", "application/pdf"}, {"txt", "text/plain"},
                                        {"zip", "application/zip"}, {"no-such-one", ""}})
    // clang-format on
    EXPECT_EQ(MimeTypes::system().mimeType(extension).value_or(""), type) << extension;
}

}  // namespace
}  // namespace lumo
