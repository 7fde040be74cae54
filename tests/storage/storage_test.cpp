#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
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

::testing::AssertionResult startsAndHas(const std::string& out, const char* head,
                                        const char* part) {
  if (out.starts_with(head) && out.find(part) != std::string::npos)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << out;
}

TEST_F(StorageTest, DirectoriesFollowTheXdgFoldersAndUserFilesNeedPictures) {
  DirectoriesManager directories;
  EXPECT_EQ(directories.lumoUserFilesDirectory().value().filePath(), home_ / "Pictures/Lumo");
  EXPECT_TRUE(fs::is_directory(home_ / "Pictures"));  // the Pictures folder is created
  EXPECT_FALSE(fs::exists(home_ / "Pictures/Lumo"));  // the appended one is not

  EXPECT_EQ(directories.lumoInternalDirectory()->filePath(), dataHome() / "lumo");
  EXPECT_FALSE(fs::exists(dataHome()));
  ScopedEnv data("XDG_DATA_HOME", (home_ / "elsewhere").native());
  EXPECT_EQ(directories.lumoInternalDirectory()->filePath(), home_ / "elsewhere/lumo");

  // With a file where the Pictures folder should be, only the internal folder is there.
  fs::remove(home_ / "Pictures");
  writeFile(home_ / "Pictures", "not a folder");
  EXPECT_FALSE(directories.picturesDirectory() || directories.lumoUserFilesDirectory());
  EXPECT_TRUE(directories.lumoInternalDirectory());
}

TEST_F(StorageTest, SharedStorageNeedsTheGroupFolder) {
  FileStorage storage;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(storage.sharedStorage() || !storage.sharedStorageFilesURLs().empty());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

  fs::create_directories(dataHome() / "group.io.lumoshared.LumoShared");
  EXPECT_EQ(storage.sharedStorage().value().filePath(),
            dataHome() / "group.io.lumoshared.LumoShared");
  EXPECT_EQ(storage.sharedStorageLibrary()->filePath(),
            dataHome() / "group.io.lumoshared.LumoShared/Library/Caches");
}

TEST_F(StorageTest, WaitingFilesNewestFirstWithoutFoldersAndHiddenFiles) {
  const fs::path caches = dataHome() / "group.test/Library/Caches";
  fs::create_directories(caches / "subfolder");
  // Oldest last; odd names on purpose.
  const std::vector<std::string> newestFirst = {"a.png", "with \"quotes\" 'and' more.mov",
                                                "line\nbreak.gif", "bytes\xff\xfe.bin"};
  for (std::size_t i = 0; i < newestFirst.size(); ++i) {
    writeFile(caches / newestFirst[i], "");
    setModificationTime(caches / newestFirst[i], static_cast<time_t>(1700000000 - i * 1000));
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
  EXPECT_EQ(names, newestFirst);

  // A listing error is printed: here the caches path is a file.
  fs::create_directories(dataHome() / "group.broken/Library");
  writeFile(dataHome() / "group.broken/Library/Caches", "");
  testing::internal::CaptureStdout();
  EXPECT_TRUE(FileStorage("group.broken").sharedStorageFilesURLs().empty());
  EXPECT_TRUE(startsAndHas(testing::internal::GetCapturedStdout(),
                           "Error getting shared storage files = ", "Not a directory"));
}

// A thin layer over the file manager (tested on its own): URLs that are not file URLs are
// nothing, and removal takes whole trees.
TEST_F(StorageTest, LocalFilesSizeExistenceAndRemoval) {
  LocalFilesManager files;
  fs::create_directories(home_ / "folder/inner");
  writeFile(home_ / "folder/inner/x", "1234567");
  const Url web = *Url::parse("https://example.com" + (home_ / "folder/inner/x").native());
  EXPECT_EQ(files.getFileSize(Url::fileURL(home_ / "folder/inner/x")), 7);
  EXPECT_FALSE(files.getFileSize(web) || files.fileExists(web));
  EXPECT_TRUE(files.deleteFile(Url::fileURL(home_ / "folder")) && !fs::exists(home_ / "folder"));
  EXPECT_FALSE(files.deleteFile(Url::fileURL(home_ / "folder")));
}

TEST_F(StorageTest, TemporaryNamesLocationsMovesAndCleaning) {
  // The folder, made with the object, is not made without its parent.
  TempFilesManager early;
  EXPECT_FALSE(fs::exists(dataHome() / "LumoTemp"));
  writeFile(home_ / "x.png", "x");
  EXPECT_FALSE(early.moveToTemporaryFolder(Url::fileURL(home_ / "x.png")));
  early.cleanTemporaryFolder();  // nothing to clean, nothing printed
  fs::create_directories(dataHome());
  TempFilesManager temp;
  const fs::path folder = dataHome() / "LumoTemp";
  EXPECT_EQ(temp.temporaryFolderURL().filePath(), folder);
  EXPECT_TRUE(fs::is_directory(folder));

  const std::string name = temp.temporaryFileName(), withSuffix = temp.temporaryFileName("mp4");
  // Version 4, variant 10xx, upper case.
  EXPECT_TRUE(matchesShape(name, "HHHHHHHH-HHHH-4HHH-?HHH-HHHHHHHHHHHH")) << name;
  EXPECT_NE(std::string_view("89AB").find(name[19]), std::string_view::npos) << name;
  EXPECT_NE(withSuffix.substr(0, 36), name);
  EXPECT_TRUE(withSuffix.size() == 40 && withSuffix.ends_with(".mp4"));
  EXPECT_EQ(temp.temporaryURLWith("png").filePath().parent_path(), folder);
  EXPECT_EQ(temp.temporaryURLFileName("a b.txt").filePath(), folder / "a b.txt");
  // Moving in never replaces; cleaning empties the folder and keeps it.
  writeFile(home_ / "first.png", "first");
  ASSERT_TRUE(temp.moveToTemporaryFolder(Url::fileURL(home_ / "first.png")));
  EXPECT_FALSE(fs::exists(home_ / "first.png"));

  writeFile(home_ / "first.png", "second");
  EXPECT_FALSE(temp.moveToTemporaryFolder(Url::fileURL(home_ / "first.png")));
  EXPECT_EQ(readFile(home_ / "first.png") + readFile(folder / "first.png"), "secondfirst");

  writeFile(folder / ".hidden", "");
  fs::create_directories(folder / "sub/deeper");
  fs::create_directory_symlink(home_.path(), folder / "link-to-home");
  writeFile(home_ / "keep-me", "");
  testing::internal::CaptureStdout();
  temp.cleanTemporaryFolder();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_TRUE(fs::is_directory(folder) && fs::is_empty(folder));
  EXPECT_TRUE(fs::exists(home_ / "keep-me"));  // a link is removed, not followed

  // The first item that cannot be removed stops the clean-up, its reason printed. Run as a
  // user that may write the folder but not the two locked folders inside (a child, for root).
  for (const char* name : {"locked1", "locked2"}) fs::create_directories(folder / name / "inner");
  for (fs::path p = folder; p != home_.path().parent_path(); p = p.parent_path()) {
    fs::permissions(p, fs::perms::all);
  }
  for (const char* name : {"locked1", "locked2"}) fs::permissions(folder / name, fs::perms(0555));
  testing::internal::CaptureStdout();
  const pid_t child = ::fork();
  if (child == 0) {
    if (::geteuid() == 0 && ::setuid(4000000000u) != 0) std::_Exit(2);
    TempFilesManager().cleanTemporaryFolder();
    std::_Exit(0);
  }
  int status = -1;
  EXPECT_TRUE(::waitpid(child, &status, 0) == child && status == 0);
  const std::string output = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(startsAndHas(output, "Can't delete file in temporary folder. ", "Permission denied"));
  EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1) << output;
  for (const char* name : {"locked1", "locked2"}) fs::permissions(folder / name, fs::perms::all);
}

}  // namespace
}  // namespace lumo
