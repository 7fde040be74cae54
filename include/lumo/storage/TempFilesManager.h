#pragma once

#include <filesystem>
#include <string>

#include "lumo/Export.h"
#include "lumo/platform/FileManager.h"
#include "lumo/storage/TempFilesService.h"

namespace lumo {

// The library's `TempFilesService`. The folder is "LumoTemp" in the user's Library folder
// (`$XDG_DATA_HOME`, default ~/.local/share); without any home folder, the system's temporary
// folder takes the Library folder's place. Without that either (TMPDIR naming no folder),
// construction writes "Can't find a temporary folder. " and the reason to standard output, and
// the folder stays where TMPDIR points: moving into it and cleaning it then fail.
//
//   auto temp = std::make_shared<TempFilesManager>();   // creates LumoTemp when missing
//   Url target = temp->temporaryURLWith("png");         // .../LumoTemp/<UUID>.png
//   temp->cleanTemporaryFolder();
//
// Construction creates the folder if nothing is at its path; its parent folders are not
// created, and when that fails the other operations fail with the file manager's errors.
// Names never leave the folder: `temporaryURLFileName` and `temporaryURLWith` keep one safe
// last component of what they are given, and `moveToTemporaryFolder` refuses a URL whose last
// component is "." or "..".
// Stateless apart from its constant fields; safe from any thread.
class LUMO_API TempFilesManager : public TempFilesService {
 public:
  TempFilesManager();

  // The name of the temporary folder: "LumoTemp".
  const std::string& lumoTempDirectory() const { return lumoTempDirectory_; }

  Url temporaryFolderURL() override;
  std::string temporaryFileName() override;
  std::string temporaryFileName(const std::string& fileSuffix) override;
  Url temporaryURLWith(const std::string& fileExtension) override;
  Url temporaryURLFileName(const std::string& fileName) override;
  Result<void> moveToTemporaryFolder(const Url& url) override;
  void cleanTemporaryFolder() override;

  FileManager& fileManager() const { return fileManager_; }

 private:
  // The folder that holds the temporary folder: the Library folder, else the system's
  // temporary folder; an error when there is neither.
  Result<std::filesystem::path> baseFolder() const;
  // The system's temporary folder as the environment names it, usable or not.
  static std::filesystem::path unusableTemporaryFolder();

  const std::string lumoTempDirectory_ = "LumoTemp";
  FileManager& fileManager_ = FileManager::defaultManager();
};

}  // namespace lumo
