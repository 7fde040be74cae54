#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "../common/TestFiles.h"
#include "lumo/storage/DirectoriesManager.h"
#include "lumo/storage/FileStorage.h"
#include "lumo/storage/LocalFilesManager.h"
#include "lumo/storage/TempFilesManager.h"

namespace lumo {
namespace {

using namespace testing_files;

// A home folder of its own for every test, with the XDG variables cleared.
class StorageTest : public ::testing::Test {
 protected:
  TempDir home_;
  ScopedEnv homeEnv_{"HOME", home_.path().native()};
  ScopedEnv data_{"XDG_DATA_HOME", std::nullopt};
  ScopedEnv config_{"XDG_CONFIG_HOME", std::nullopt};
  ScopedEnv cache_{"XDG_CACHE_HOME", std::nullopt};

  fs::path dataHome() const { return home_ / ".local/share"; }
};

// An override of the default location changes the user-files folder too.
class MovedDirectories : public DirectoriesManager {
 public:
  Result<Url> lumoUserFilesDefaultDirectory() override {
    return Url::fileURL("/srv/captures", true);
  }
};

TEST_F(StorageTest, DirectoriesFollowTheXdgFoldersAndUserFilesNeedPictures) {
  DirectoriesManager directories;
  auto userFiles = directories.lumoUserFilesDirectory();
  ASSERT_TRUE(userFiles);
  EXPECT_EQ(userFiles->filePath(), home_ / "Pictures/Lumo");
  EXPECT_TRUE(fs::is_directory(home_ / "Pictures"));  // the Pictures folder is created
  EXPECT_FALSE(fs::exists(home_ / "Pictures/Lumo"));  // the appended one is not
  EXPECT_EQ(MovedDirectories().lumoUserFilesDirectory()->filePath(), "/srv/captures");

  EXPECT_EQ(directories.lumoInternalDirectory()->filePath(), dataHome() / "lumo");
  EXPECT_FALSE(fs::exists(dataHome()));
  ScopedEnv data("XDG_DATA_HOME", (home_ / "elsewhere").native());
  EXPECT_EQ(directories.lumoInternalDirectory()->filePath(), home_ / "elsewhere/lumo");

  // With a file where the Pictures folder should be, only the internal folder is there.
  fs::remove(home_ / "Pictures");
  writeFile(home_ / "Pictures", "not a folder");
  auto pictures = directories.picturesDirectory();
  ASSERT_FALSE(pictures);
  EXPECT_FALSE(pictures.error().localizedDescription().empty());
  EXPECT_FALSE(directories.lumoUserFilesDirectory());
  EXPECT_TRUE(directories.lumoInternalDirectory());
}

TEST_F(StorageTest, SharedStorageNeedsTheGroupFolder) {
  FileStorage storage;
  EXPECT_EQ(storage.sharedAppGroup(), "group.io.lumoshared.LumoShared");
  testing::internal::CaptureStdout();
  EXPECT_FALSE(storage.sharedStorage());
  EXPECT_FALSE(storage.sharedStorageLibrary());
  EXPECT_TRUE(storage.sharedStorageFilesURLs().empty());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

  fs::create_directories(dataHome() / "group.io.lumoshared.LumoShared");
  ASSERT_TRUE(storage.sharedStorage());
  EXPECT_EQ(storage.sharedStorage()->filePath(), dataHome() / "group.io.lumoshared.LumoShared");
  EXPECT_EQ(storage.sharedStorageLibrary()->filePath(),
            dataHome() / "group.io.lumoshared.LumoShared/Library/Caches");

  FileStorage other("group.other");
  EXPECT_FALSE(other.sharedStorage());
  other.setSharedAppGroup("group.io.lumoshared.LumoShared");
  EXPECT_TRUE(other.sharedStorage());
}

TEST_F(StorageTest, WaitingFilesNewestFirstWithoutFoldersAndHiddenFiles) {
  const fs::path caches = dataHome() / "group.test/Library/Caches";
  fs::create_directories(caches / "subfolder");
  const std::vector<std::pair<std::string, time_t>> files = {
      {"b.png", 1600000000},
      {"a.png", 1700000000},
      {"with \"quotes\" 'and' more.mov", 1650000000},
      {"line\nbreak.gif", 1500000000},
      {"\u00fcnic\u00f6de \u65e5\u672c.png", 1690000000},
      {"several.dots.in.name.tar.gz", 1400000000},
      {std::string("bytes\xff\xfe.bin"), 1300000000},
  };
  for (const auto& [name, time] : files) {
    writeFile(caches / name, name);
    setModificationTime(caches / name, time);
  }
  writeFile(caches / ".hidden.png", "");
  setModificationTime(caches / ".hidden.png", 1800000000);
  writeFile(caches / "subfolder/inner.png", "");
  setModificationTime(caches / "subfolder", 1900000000);

  FileStorage storage("group.test");
  std::vector<std::string> names;
  for (const Url& url : storage.sharedStorageFilesURLs()) {
    EXPECT_EQ(url.filePath().parent_path(), caches);
    names.push_back(url.filePath().filename().native());
  }
  EXPECT_EQ(names, (std::vector<std::string>{"a.png", "\u00fcnic\u00f6de \u65e5\u672c.png",
                                             "with \"quotes\" 'and' more.mov", "b.png",
                                             "line\nbreak.gif", "several.dots.in.name.tar.gz",
                                             std::string("bytes\xff\xfe.bin")}));

  // A listing error is printed: here the caches path is a file.
  fs::create_directories(dataHome() / "group.broken/Library");
  writeFile(dataHome() / "group.broken/Library/Caches", "");
  testing::internal::CaptureStdout();
  EXPECT_TRUE(FileStorage("group.broken").sharedStorageFilesURLs().empty());
  const std::string output = testing::internal::GetCapturedStdout();
  EXPECT_EQ(output.rfind("Error getting shared storage files = ", 0), 0u) << output;
  EXPECT_NE(output.find("Not a directory"), std::string::npos) << output;
}

// A thin layer over the file manager (tested on its own): URLs that are not file URLs are
// nothing, and removal takes whole trees.
TEST_F(StorageTest, LocalFilesSizeExistenceAndRemoval) {
  LocalFilesManager files;
  writeFile(home_ / "seven", "1234567");
  fs::create_directories(home_ / "folder/inner");
  writeFile(home_ / "folder/inner/x", "x");
  EXPECT_EQ(files.getFileSize(Url::fileURL(home_ / "seven")), 7);
  EXPECT_EQ(files.getFileSize(Url::fileURL(home_ / "folder")), std::nullopt);
  EXPECT_EQ(files.getFileSize(*Url::parse("https://example.com/seven")), std::nullopt);
  EXPECT_FALSE(files.fileExists(*Url::parse("https://example.com/seven")));
  EXPECT_TRUE(files.fileExists(Url::fileURL(home_ / "folder")));
  EXPECT_TRUE(files.deleteFile(Url::fileURL(home_ / "folder")) && !fs::exists(home_ / "folder"));
  EXPECT_FALSE(files.deleteFile(Url::fileURL(home_ / "folder")));
}

TEST_F(StorageTest, TemporaryNamesLocationsMovesAndCleaning) {
  // The folder, made with the object, is not made without its parent.
  TempFilesManager early;
  EXPECT_FALSE(fs::exists(dataHome() / "LumoTemp"));
  writeFile(home_ / "x.png", "x");
  EXPECT_FALSE(early.moveToTemporaryFolder(Url::fileURL(home_ / "x.png")));
  EXPECT_TRUE(fs::exists(home_ / "x.png"));
  early.cleanTemporaryFolder();  // nothing to clean, nothing printed
  // A user the system does not know has no home folder: with TMPDIR naming a file as well, the
  // reason is written instead of thrown, and moving in fails (as such a user, in a child).
  if (::geteuid() == 0) {
    ScopedEnv noHome("HOME", std::nullopt), tmp("TMPDIR", (home_ / "x.png").native());
    testing::internal::CaptureStdout();
    const pid_t child = ::fork();
    if (child == 0) {
      std::_Exit(::setuid(4000000000u) != 0 ||
                 TempFilesManager().moveToTemporaryFolder(Url::fileURL(home_ / "x.png")).ok());
    }
    int status = -1;
    EXPECT_TRUE(::waitpid(child, &status, 0) == child && status == 0);
    EXPECT_TRUE(
        testing::internal::GetCapturedStdout().starts_with("Can't find a temporary folder"));
  }

  fs::create_directories(dataHome());
  TempFilesManager temp;
  EXPECT_EQ(temp.temporaryFolderURL().filePath(), dataHome() / "LumoTemp");
  EXPECT_TRUE(fs::is_directory(dataHome() / "LumoTemp"));

  std::set<std::string> seen;
  for (int i = 0; i < 100; ++i) {
    const std::string name = temp.temporaryFileName();
    // Version 4, variant 10xx, upper case.
    EXPECT_TRUE(matchesShape(name, "HHHHHHHH-HHHH-4HHH-?HHH-HHHHHHHHHHHH")) << name;
    EXPECT_NE(std::string_view("89AB").find(name[19]), std::string_view::npos) << name;
    seen.insert(name);
  }
  EXPECT_EQ(seen.size(), 100u);

  const std::string withSuffix = temp.temporaryFileName("mp4");
  EXPECT_EQ(withSuffix.size(), 40u);
  EXPECT_TRUE(withSuffix.ends_with(".mp4"));
  const Url png = temp.temporaryURLWith("png");
  EXPECT_EQ(png.filePath().parent_path(), dataHome() / "LumoTemp");
  EXPECT_TRUE(png.lastPathComponent().ends_with(".png"));
  EXPECT_EQ(temp.temporaryURLFileName("a b.txt").filePath(), dataHome() / "LumoTemp/a b.txt");
  // Moving in never replaces; cleaning empties the folder and keeps it.
  writeFile(home_ / "first.png", "first");
  ASSERT_TRUE(temp.moveToTemporaryFolder(Url::fileURL(home_ / "first.png")));
  EXPECT_EQ(readFile(dataHome() / "LumoTemp/first.png"), "first");
  EXPECT_FALSE(fs::exists(home_ / "first.png"));

  writeFile(home_ / "first.png", "second");
  auto moved = temp.moveToTemporaryFolder(Url::fileURL(home_ / "first.png"));
  ASSERT_FALSE(moved);
  EXPECT_NE(moved.error().localizedDescription().find("File exists"), std::string::npos);
  EXPECT_EQ(readFile(home_ / "first.png"), "second");
  EXPECT_EQ(readFile(dataHome() / "LumoTemp/first.png"), "first");

  EXPECT_FALSE(temp.moveToTemporaryFolder(Url::fileURL(home_ / "missing.png")));
  const std::string odd = std::string("odd\nname \xff.png");
  writeFile(home_ / odd, "odd");
  EXPECT_TRUE(temp.moveToTemporaryFolder(Url::fileURL(home_ / odd)));
  EXPECT_EQ(readFile(dataHome() / "LumoTemp" / odd), "odd");
  const fs::path folder = dataHome() / "LumoTemp";
  writeFile(folder / "a.png", "");
  writeFile(folder / ".hidden", "");
  fs::create_directories(folder / "sub/deeper");
  writeFile(folder / "sub/deeper/file", "");
  fs::create_directory_symlink(home_.path(), folder / "link-to-home");
  writeFile(home_ / "keep-me", "");
  testing::internal::CaptureStdout();
  temp.cleanTemporaryFolder();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_TRUE(fs::is_directory(folder));
  EXPECT_TRUE(fs::is_empty(folder));
  EXPECT_TRUE(fs::exists(home_ / "keep-me"));  // a link is removed, not followed
}

}  // namespace
}  // namespace lumo
