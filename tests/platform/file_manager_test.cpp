#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "../common/TestFiles.h"
#include "lumo/platform/FileManager.h"

namespace lumo {
namespace {

using namespace testing_files;

int errorCode(const Error& error) {
  const auto* fileError = error.as<FileError>();
  return fileError ? fileError->code : -1;
}

FileManager& fm() {
  return FileManager::defaultManager();
}

TEST(FileManagerQueries, SizesExistenceAndDates) {
  TempDir dir;
  writeFile(dir / "empty", "");
  writeFile(dir / "five", "12345");
  fs::create_directory(dir / "folder");
  fs::create_symlink(dir / "five", dir / "link");
  fs::create_symlink(dir / "gone", dir / "dangling");

  EXPECT_EQ(fm().fileSize(dir / "empty"), 0);
  EXPECT_EQ(fm().fileSize(dir / "five"), 5);
  EXPECT_EQ(fm().fileSize(dir / "link"), 5);
  EXPECT_EQ(fm().fileSize(dir / "folder"), std::nullopt);
  EXPECT_EQ(fm().fileSize(dir / "missing"), std::nullopt);
  EXPECT_EQ(fm().fileSize(""), std::nullopt);

  EXPECT_TRUE(fm().fileExists(dir / "folder"));
  EXPECT_TRUE(fm().fileExists(dir / "link"));
  EXPECT_FALSE(fm().fileExists(dir / "dangling"));
  EXPECT_FALSE(fm().fileExists(dir / "missing"));
  EXPECT_TRUE(fm().isDirectory(dir / "folder"));
  EXPECT_FALSE(fm().isDirectory(dir / "five"));

  setModificationTime(dir / "five", 1672931045, 123456789);
  auto date = fm().contentModificationDate(dir / "five");
  ASSERT_TRUE(date);
  EXPECT_EQ(std::chrono::duration_cast<std::chrono::nanoseconds>(date->time_since_epoch()).count(),
            1672931045123456789LL);
  EXPECT_FALSE(fm().contentModificationDate(dir / "missing"));
}

TEST(FileManagerMove, RefusesAnExistingDestinationAndKeepsBoth) {
  TempDir dir;
  writeFile(dir / "a", "source");
  writeFile(dir / "b", "target");
  auto moved = fm().moveItem(dir / "a", dir / "b");
  ASSERT_FALSE(moved);
  EXPECT_EQ(errorCode(moved.error()), EEXIST);
  EXPECT_NE(moved.error().localizedDescription().find("File exists"), std::string::npos);
  EXPECT_EQ(readFile(dir / "a"), "source");
  EXPECT_EQ(readFile(dir / "b"), "target");

  fs::create_directory(dir / "empty-folder");
  EXPECT_FALSE(fm().moveItem(dir / "a", dir / "empty-folder"));
  EXPECT_TRUE(fs::is_regular_file(dir / "a"));

  ASSERT_TRUE(fm().moveItem(dir / "a", dir / "c"));
  EXPECT_FALSE(fs::exists(dir / "a"));
  EXPECT_EQ(readFile(dir / "c"), "source");
  EXPECT_EQ(errorCode(fm().moveItem(dir / "a", dir / "d").error()), ENOENT);
}

TEST(FileManagerMove, AcrossFileSystemsCopiesThenDeletes) {
  // /dev/shm is a tmpfs of its own on Linux; the temporary folder is on the disk.
  if (!fs::is_directory("/dev/shm")) GTEST_FAIL() << "this test needs /dev/shm";
  TempDir disk;
  TempDir memory("/dev/shm");
  ASSERT_FALSE(memory.path().empty());
  fs::create_directories(disk / "tree/sub");
  writeFile(disk / "tree/sub/file.txt", "payload");
  writeFile(disk / "tree/.hidden", "h");
  setModificationTime(disk / "tree/sub/file.txt", 1000000000);

  ASSERT_TRUE(fm().moveItem(disk / "tree", memory / "tree"));
  EXPECT_FALSE(fs::exists(disk / "tree"));
  EXPECT_EQ(readFile(memory / "tree/sub/file.txt"), "payload");
  EXPECT_EQ(readFile(memory / "tree/.hidden"), "h");
  EXPECT_EQ(fm().contentModificationDate(memory / "tree/sub/file.txt"),
            FileManager::Date(std::chrono::seconds(1000000000)));

  writeFile(disk / "exists", "x");
  writeFile(memory / "exists", "y");
  EXPECT_EQ(errorCode(fm().moveItem(disk / "exists", memory / "exists").error()), EEXIST);
  EXPECT_EQ(readFile(disk / "exists"), "x");
  EXPECT_EQ(readFile(memory / "exists"), "y");
}

TEST(FileManagerCopy, CopiesFoldersKeepingDatesAndLinks) {
  TempDir dir;
  fs::create_directories(dir / "src/inner");
  writeFile(dir / "src/inner/a.bin", std::string(300000, 'z'));
  writeFile(dir / "src/.dot", "");
  fs::create_symlink("inner/a.bin", dir / "src/link");
  ::chmod((dir / "src/inner/a.bin").c_str(), 0640);
  setModificationTime(dir / "src/inner/a.bin", 1234567890, 500);
  setModificationTime(dir / "src/inner", 1234500000);

  ASSERT_TRUE(fm().copyItem(dir / "src", dir / "dst"));
  EXPECT_EQ(readFile(dir / "dst/inner/a.bin"), std::string(300000, 'z'));
  EXPECT_TRUE(fs::exists(dir / "dst/.dot"));
  EXPECT_TRUE(fs::is_symlink(dir / "dst/link"));
  EXPECT_EQ(fs::read_symlink(dir / "dst/link"), "inner/a.bin");
  EXPECT_EQ(fs::status(dir / "dst/inner/a.bin").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(fm().contentModificationDate(dir / "dst/inner/a.bin"),
            fm().contentModificationDate(dir / "src/inner/a.bin"));
  EXPECT_EQ(fm().contentModificationDate(dir / "dst/inner"),
            fm().contentModificationDate(dir / "src/inner"));
  EXPECT_TRUE(fs::exists(dir / "src/inner/a.bin"));
}

TEST(FileManagerCopy, RefusesExistingDestinationAndCleansUpAfterFailure) {
  TempDir dir;
  writeFile(dir / "a", "a");
  writeFile(dir / "b", "b");
  EXPECT_EQ(errorCode(fm().copyItem(dir / "a", dir / "b").error()), EEXIST);
  EXPECT_EQ(readFile(dir / "b"), "b");
  EXPECT_EQ(errorCode(fm().copyItem(dir / "missing", dir / "c").error()), ENOENT);
  EXPECT_FALSE(fs::exists(dir / "c"));

  // A folder holding something that cannot be copied (a named pipe) leaves no half copy.
  fs::create_directory(dir / "with-pipe");
  writeFile(dir / "with-pipe/a", "a");
  ASSERT_EQ(::mkfifo((dir / "with-pipe/pipe").c_str(), 0600), 0);
  EXPECT_FALSE(fm().copyItem(dir / "with-pipe", dir / "copy"));
  EXPECT_FALSE(fs::exists(dir / "copy"));
}

TEST(FileManagerRemove, RemovesTreesAndLinksButNotTheirTargets) {
  TempDir dir;
  fs::create_directories(dir / "tree/a/b");
  writeFile(dir / "tree/a/b/c", "c");
  writeFile(dir / "target", "t");
  fs::create_symlink(dir / "target", dir / "link");
  fs::create_directory_symlink(dir / "tree", dir / "tree-link");

  ASSERT_TRUE(fm().removeItem(dir / "tree-link"));
  EXPECT_TRUE(fs::exists(dir / "tree/a/b/c"));
  ASSERT_TRUE(fm().removeItem(dir / "tree"));
  EXPECT_FALSE(fs::exists(dir / "tree"));
  ASSERT_TRUE(fm().removeItem(dir / "link"));
  EXPECT_TRUE(fs::exists(dir / "target"));
  EXPECT_EQ(errorCode(fm().removeItem(dir / "tree").error()), ENOENT);
}

TEST(FileManagerList, ListsOddNamesAndSkipsHiddenOnRequest) {
  TempDir dir;
  const std::vector<std::string> names = {
      "plain.png",   "with \"quotes\" and 'single'.txt", "line\nbreak.png",
      "Grüße ü.mov", "many.dots.in.name.tar.gz",         std::string("bytes\xff\xfe.bin"),
      "sub"};
  for (const auto& name : names) {
    if (name == "sub") {
      fs::create_directory(dir / name);
    } else {
      writeFile(dir / name, name);
    }
  }
  writeFile(dir / ".hidden", "");
  auto listed = fm().contentsOfDirectory(dir.path(), true);
  ASSERT_TRUE(listed);
  std::vector<std::string> got;
  for (const auto& path : *listed) got.push_back(path.filename().native());
  std::sort(got.begin(), got.end());
  auto expected = names;
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(got, expected);
  EXPECT_EQ(fm().contentsOfDirectory(dir.path(), false)->size(), names.size() + 1);

  EXPECT_EQ(errorCode(fm().contentsOfDirectory(dir / "missing", true).error()), ENOENT);
  EXPECT_EQ(errorCode(fm().contentsOfDirectory(dir / "plain.png", true).error()), ENOTDIR);
}

TEST(FileManagerCreate, CreatesFoldersWithOrWithoutParents) {
  TempDir dir;
  EXPECT_EQ(errorCode(fm().createDirectory(dir / "a/b", false).error()), ENOENT);
  ASSERT_TRUE(fm().createDirectory(dir / "a/b", true));
  EXPECT_TRUE(fm().createDirectory(dir / "a/b", true));
  EXPECT_EQ(errorCode(fm().createDirectory(dir / "a/b", false).error()), EEXIST);
  writeFile(dir / "file", "");
  EXPECT_FALSE(fm().createDirectory(dir / "file", true));
}

TEST(FileManagerLocations, XdgFoldersAndGroupContainers) {
  TempDir dir;
  ScopedEnv home("HOME", dir.path().native());
  ScopedEnv data("XDG_DATA_HOME", std::nullopt);
  ScopedEnv config("XDG_CONFIG_HOME", std::nullopt);
  ScopedEnv cache("XDG_CACHE_HOME", "relative/is/ignored");

  EXPECT_EQ(fm().url(SearchPathDirectory::library, false)->filePath(), dir / ".local/share");
  EXPECT_FALSE(fs::exists(dir / ".local/share"));
  EXPECT_EQ(fm().url(SearchPathDirectory::caches, false)->filePath(), dir / ".cache/lumo");
  auto pictures = fm().url(SearchPathDirectory::pictures, true);
  ASSERT_TRUE(pictures);
  EXPECT_EQ(pictures->filePath(), dir / "Pictures");
  EXPECT_TRUE(fs::is_directory(dir / "Pictures"));
  EXPECT_EQ(pictures->absoluteString().back(), '/');

  // The pictures folder of user-dirs.dirs.
  fs::create_directories(dir / ".config");
  writeFile(dir / ".config/user-dirs.dirs",
            "# comment\nXDG_DESKTOP_DIR=\"$HOME/Desktop\"\nXDG_PICTURES_DIR=\"$HOME/Bilder\"\n");
  EXPECT_EQ(fm().url(SearchPathDirectory::pictures, false)->filePath(), dir / "Bilder");

  ScopedEnv data2("XDG_DATA_HOME", (dir / "data").native());
  EXPECT_EQ(fm().url(SearchPathDirectory::library, false)->filePath(), dir / "data");
  EXPECT_FALSE(fm().containerURL("group.test.App"));
  fs::create_directories(dir / "data/group.test.App");
  auto container = fm().containerURL("group.test.App");
  ASSERT_TRUE(container);
  EXPECT_EQ(container->filePath(), dir / "data/group.test.App");
  for (const char* bad : {"", ".", "..", "a/b"}) EXPECT_FALSE(fm().containerURL(bad)) << bad;
}

}  // namespace
}  // namespace lumo
