#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <fstream>

#include "../common/TestFiles.h"
#include "lumo/platform/FileManager.h"
#include "lumo/platform/MimeTypes.h"

namespace lumo {
namespace {

using namespace testing_files;

template <typename T>
int errorCode(const Result<T>& result) {
  const FileError* error = result ? nullptr : result.error().template as<FileError>();
  return result ? 0 : error ? error->code : -1;
}
FileManager& fm() {
  return FileManager::defaultManager();
}

TEST(FileManager, QueriesListsAndCreatesFolders) {
  TempDir dir;
  writeFile(dir / "five", "12345");
  fs::create_directory(dir / "folder");
  fs::create_symlink(dir / "five", dir / "link");
  fs::create_symlink(dir / "gone", dir / "dangling");
  writeFile(dir / ".hidden", "");
  writeFile(dir / "line\nbreak \xff.png", "");
  setModificationTime(dir / "five", 1672931045, 123456789);
  EXPECT_EQ(fm().fileSize(dir / "link"), 5);
  EXPECT_FALSE(fm().fileSize(dir / "folder") || fm().fileSize(dir / "missing") ||
               fm().fileSize("") || fm().fileExists(dir / "dangling") ||
               fm().isDirectory(dir / "five") || fm().contentModificationDate(dir / "missing"));
  EXPECT_TRUE(fm().fileExists(dir / "folder") && fm().isDirectory(dir / "folder"));
  EXPECT_EQ(fm().contentModificationDate(dir / "five"),
            FileManager::Date(std::chrono::nanoseconds(1672931045123456789LL)));
  std::vector<std::string> names;
  const auto listed = fm().contentsOfDirectory(dir.path(), true);
  for (const auto& path : listed.value()) names.push_back(path.filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"dangling", "five", "folder", "line\nbreak \xff.png",
                                             "link"}));
  EXPECT_EQ(fm().contentsOfDirectory(dir.path(), false)->size(), 6u);
  // Error numbers of: listing a missing folder and a file, then creating a/b four times.
  EXPECT_EQ(std::vector<int>({errorCode(fm().contentsOfDirectory(dir / "missing", true)),
                              errorCode(fm().contentsOfDirectory(dir / "five", true)),
                              errorCode(fm().createDirectory(dir / "a/b", false)),
                              errorCode(fm().createDirectory(dir / "a/b", true)),
                              errorCode(fm().createDirectory(dir / "a/b", true)),
                              errorCode(fm().createDirectory(dir / "a/b", false))}),
            std::vector<int>({ENOENT, ENOTDIR, ENOENT, 0, 0, EEXIST}));
  EXPECT_NE(errorCode(fm().createDirectory(dir / "five", true)), 0);
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
  ASSERT_EQ(errorCode(fm().copyItem(disk / "src", disk / "copy")), 0);
  ASSERT_EQ(errorCode(fm().moveItem(disk / "copy", memory / "moved")), 0);
  EXPECT_FALSE(fs::exists(disk / "copy"));
  for (const fs::path& root : {disk / "src", memory / "moved"}) {
    EXPECT_EQ(readFile(root / "inner/a.bin"), std::string(300000, 'z'));
    EXPECT_EQ(fs::read_symlink(root / "link"), "inner/a.bin");
    EXPECT_EQ(fs::status(root / "inner/a.bin").permissions() & fs::perms::all, fs::perms(0640));
    EXPECT_EQ(fm().contentModificationDate(root / "inner/a.bin"),
              FileManager::Date(std::chrono::nanoseconds(1234567890000000500LL)));
    EXPECT_EQ(fm().contentModificationDate(root / "inner"),
              FileManager::Date(std::chrono::seconds(1234500000)));
  }

  // Existing destinations are refused and both sides kept; a failed copy leaves no half copy.
  writeFile(disk / "a", "a");
  writeFile(disk / "b", "b");
  writeFile(memory / "b", "c");
  EXPECT_EQ(std::vector<int>({errorCode(fm().moveItem(disk / "a", disk / "b")),
                              errorCode(fm().moveItem(disk / "a", memory / "b")),
                              errorCode(fm().copyItem(disk / "a", disk / "b")),
                              errorCode(fm().copyItem(disk / "missing", disk / "c"))}),
            std::vector<int>({EEXIST, EEXIST, EEXIST, ENOENT}));
  EXPECT_EQ(readFile(disk / "a") + readFile(disk / "b") + readFile(memory / "b"), "abc");
  ASSERT_EQ(::mkfifo((disk / "src/pipe").c_str(), 0600), 0);
  EXPECT_NE(errorCode(fm().copyItem(disk / "src", disk / "copy")), 0);
  EXPECT_FALSE(fs::exists(disk / "copy"));

  // Removing a link leaves its target.
  fs::create_directory_symlink(disk / "src", disk / "src-link");
  EXPECT_EQ(
      std::vector<int>({errorCode(fm().removeItem(disk / "src-link")),
                        fs::exists(disk / "src/link"), errorCode(fm().removeItem(disk / "src")),
                        fs::exists(disk / "src"), errorCode(fm().removeItem(disk / "src"))}),
      std::vector<int>({0, 1, 0, 0, ENOENT}));
}

TEST(FileManager, XdgFoldersAndGroupContainers) {
  TempDir dir;
  ScopedEnv home("HOME", dir.path().native()), data("XDG_DATA_HOME", std::nullopt),
      config("XDG_CONFIG_HOME", std::nullopt), cache("XDG_CACHE_HOME", "relative/is/ignored");
  EXPECT_EQ(fm().url(SearchPathDirectory::library, false)->filePath(), dir / ".local/share");
  EXPECT_FALSE(fs::exists(dir / ".local/share"));
  EXPECT_EQ(fm().url(SearchPathDirectory::caches, false)->filePath(), dir / ".cache/lumo");
  EXPECT_EQ(fm().url(SearchPathDirectory::pictures, true)->absoluteString(),
            Url::fileURL(dir / "Pictures", true).absoluteString());
  EXPECT_TRUE(fs::is_directory(dir / "Pictures"));
  fs::create_directories(dir / ".config");
  writeFile(dir / ".config/user-dirs.dirs",
            "# comment\nXDG_DESKTOP_DIR=\"$HOME/Desktop\"\nXDG_PICTURES_DIR=\"$HOME/Bilder\"\n");
  EXPECT_EQ(fm().url(SearchPathDirectory::pictures, false)->filePath(), dir / "Bilder");

  ScopedEnv data2("XDG_DATA_HOME", (dir / "data").native());
  EXPECT_FALSE(fm().containerURL("group.test.App"));
  fs::create_directories(dir / "data/group.test.App");
  EXPECT_EQ(fm().containerURL("group.test.App")->filePath(), dir / "data/group.test.App");
  for (const char* bad : {"", ".", "..", "a/b"}) EXPECT_FALSE(fm().containerURL(bad)) << bad;
}

TEST(MimeTypes, BuiltInTableThenGlobsByWeightThenMimeTypesFile) {
  TempDir dir;
  std::ofstream(dir / "globs2")
      << "# generated\n80:text/x-heavy:*.dup\n50:application/pdf:*.pdf\n"
         "50:text/x-c++src:*.C:cs\n50:text/x-csrc:*.c:cs\n"
         "50:application/x-compressed-tar:*.tar.gz\n50:application/gzip:*.gz\n"
         "50:text/x-light:*.dup\n50:application/x-sharedlib:*.so.[0-9]*\n"
         "50:text/x-makefile:makefile\n40:text/x-later:*.later\n"
         "90:text/x-later-heavier:*.later\ngarbage line\nx:y:*.bad\n";
  std::ofstream(dir / "mime.types") << "# comment\napplication/x-only-here  onlyhere oh\n"
                                       "application/pdf-from-mime-types pdf\n"
                                       "image/png-from-mime-types png\nnoslash word\n";
  const MimeTypes types({dir / "globs2", dir / "mime.types"}),
      none({dir / "none", dir / "none-either"});
  // extension, type from the files, type without them ("" for none).
  // clang-format off
  const char* const cases[][3] = {
      {"PNG", "image/png", "image/png"}, {"jpg", "image/jpeg", "image/jpeg"}, {"jpeg", "image/jpeg", "image/jpeg"},
      {"gif", "image/gif", "image/gif"}, {"mp4", "video/mp4", "video/mp4"}, {"mov", "video/quicktime", "video/quicktime"},
      {"html", "text/html", "text/html"}, {"PdF", "application/pdf", ""}, {"OH", "application/x-only-here", ""},
      {"dup", "text/x-heavy", ""}, {"later", "text/x-later-heavier", ""}, {"tar.gz", "application/x-compressed-tar", ""},
      {"gz", "application/gzip", ""}, {"C", "text/x-c++src", ""}, {"c", "text/x-csrc", ""}, {"", "", ""},
      {"so.1", "", ""}, {"makefile", "", ""}, {"bad", "", ""}, {"word", "", ""}, {"*", "", ""}, {".pdf", "", ""}};
  // clang-format on
  for (const auto& [extension, withFiles, without] : cases) {
    EXPECT_EQ(types.mimeType(extension).value_or(""), withFiles) << extension;
    EXPECT_EQ(none.mimeType(extension).value_or(""), without) << extension;
  }
  // clang-format off
  for (const auto& [extension, type] : {std::pair{"pdf", "application/pdf"}, {"txt", "text/plain"},
                                        {"zip", "application/zip"}, {"no-such-one", ""}})
    // clang-format on
    EXPECT_EQ(MimeTypes::system().mimeType(extension).value_or(""), type) << extension;
}

}  // namespace
}  // namespace lumo
