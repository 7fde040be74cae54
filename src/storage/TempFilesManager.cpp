#include "lumo/storage/TempFilesManager.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <iostream>

#include "lumo/platform/UUID.h"

namespace lumo {

TempFilesManager::TempFilesManager() {
  const auto folder = temporaryFolderURL().filePath();
  if (!fileManager_.fileExists(folder)) (void)fileManager_.createDirectory(folder, false);
}

Url TempFilesManager::temporaryFolderURL() {
  auto library = fileManager_.url(SearchPathDirectory::library, false);
  const Url base = library ? *library : Url::fileURL(std::filesystem::temp_directory_path(), true);
  return base.appendingPathComponent(lumoTempDirectory_, true);
}

std::string TempFilesManager::temporaryFileName() {
  return makeUUIDString();
}

std::string TempFilesManager::temporaryFileName(const std::string& fileSuffix) {
  return makeUUIDString() + "." + fileSuffix;
}

Url TempFilesManager::temporaryURLWith(const std::string& fileExtension) {
  return temporaryFolderURL().appendingPathComponent(temporaryFileName(fileExtension));
}

Url TempFilesManager::temporaryURLFileName(const std::string& fileName) {
  return temporaryFolderURL().appendingPathComponent(fileName);
}

Result<void> TempFilesManager::moveToTemporaryFolder(const Url& url) {
  if (!url.isFileURL()) {
    return FileError{EINVAL, {}, "Cannot move " + url.absoluteString() + ": not a file URL"};
  }
  const auto from = url.filePath();
  return fileManager_.moveItem(from, temporaryFolderURL().filePath() / from.filename());
}

void TempFilesManager::cleanTemporaryFolder() {
  auto items = fileManager_.contentsOfDirectory(temporaryFolderURL().filePath(), false);
  if (!items) return;
  // A folder goes with everything inside it, so one pass over the top level empties the
  // whole tree.
  for (const auto& item : *items) {
    if (auto removed = fileManager_.removeItem(item); !removed) {
      std::cout << "Can't delete file in temporary folder. "
                << removed.error().localizedDescription() << std::endl;
      return;
    }
  }
}

}  // namespace lumo
