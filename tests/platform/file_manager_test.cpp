#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "../common/TestFiles.h"
#include "lumo/platform/FileManager.h"

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
  EXPECT_EQ(fm().fileSize(dir / "link"), 5);
  EXPECT_FALSE(fm().fileSize(dir / "folder") || fm().fileSize(dir / "missing") ||
               fm().fileSize(""));
  EXPECT_TRUE(fm().fileExists(dir / "folder") && fm().isDirectory(dir / "folder"));
  EXPECT_FALSE(fm().fileExists(dir / "dangling") || fm().isDirectory(dir / "five"));
  setModificationTime(dir / "five", 1672931045, 123456789);
  EXPECT_EQ(
      fm().contentModificationDate(dir / "five").value_or(FileManager::Date()).time_since_epoch(),
      std::chrono::nanoseconds(1672931045123456789LL));
  EXPECT_FALSE(fm().contentModificationDate(dir / "missing"));

  std::vector<std::string> names;
  const auto listed = fm().contentsOfDirectory(dir.path(), true);
  for (const auto& path : listed.value()) names.push_back(path.filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"dangling", "five", "folder", "line\nbreak \xff.png",
                                             "link"}));
  EXPECT_EQ(fm().contentsOfDirectory(dir.path(), false)->size(), 6u);
  EXPECT_EQ(errorCode(fm().contentsOfDirectory(dir / "missing", true)), ENOENT);
  EXPECT_EQ(errorCode(fm().contentsOfDirectory(dir / "five", true)), ENOTDIR);

  EXPECT_EQ(errorCode(fm().createDirectory(dir / "a/b", false)), ENOENT);
  EXPECT_EQ(errorCode(fm().createDirectory(dir / "a/b", true)), 0);
  EXPECT_EQ(errorCode(fm().createDirectory(dir / "a/b", true)), 0);
  EXPECT_EQ(errorCode(fm().createDirectory(dir / "a/b", false)), EEXIST);
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
  EXPECT_EQ(errorCode(fm().moveItem(disk / "a", disk / "b")), EEXIST);
  EXPECT_EQ(errorCode(fm().moveItem(disk / "a", memory / "b")), EEXIST);
  EXPECT_EQ(errorCode(fm().copyItem(disk / "a", disk / "b")), EEXIST);
  EXPECT_EQ(readFile(disk / "a") + readFile(disk / "b") + readFile(memory / "b"), "abc");
  EXPECT_EQ(errorCode(fm().copyItem(disk / "missing", disk / "c")), ENOENT);
  ASSERT_EQ(::mkfifo((disk / "src/pipe").c_str(), 0600), 0);
  EXPECT_NE(errorCode(fm().copyItem(disk / "src", disk / "copy")), 0);
  EXPECT_FALSE(fs::exists(disk / "copy"));

  // Removing a link leaves its target.
  fs::create_directory_symlink(disk / "src", disk / "src-link");
  ASSERT_EQ(errorCode(fm().removeItem(disk / "src-link")), 0);
  ASSERT_EQ(errorCode(fm().removeItem(disk / "src")), 0);
  EXPECT_FALSE(fs::exists(disk / "src"));
  EXPECT_EQ(errorCode(fm().removeItem(disk / "src")), ENOENT);
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

}  // namespace
}  // namespace lumo
