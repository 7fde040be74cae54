#include "lumo/storage/TempFilesManager.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <utility>

#include "lumo/platform/UUID.h"

namespace lumo {
namespace {

// A name that stays one entry of the temporary folder, whatever a caller hands in: a NUL byte
// (which would cut the path short) becomes "_", a name holding "/" keeps what follows its last
// "/", and "", "." and ".." become "_". Cut to the longest name a file system takes.
std::string lastComponentName(std::string name) {
  std::replace(name.begin(), name.end(), '\0', '_');
  if (const auto slash = name.rfind('/'); slash != std::string::npos) name.erase(0, slash + 1);
  if (name.empty() || name == "." || name == "..") return "_";
  return truncatedUTF8(std::move(name), kFileNameMax);
}

}  // namespace

TempFilesManager::TempFilesManager() {
  // Qualified: a constructor cannot reach an override, and the call should say so.
  const auto folder = TempFilesManager::temporaryFolderURL().filePath();
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
  // An extension holding "/" must not turn the unique name into a path, nor lose its UUID.
  std::string extension = fileExtension;
  std::replace(extension.begin(), extension.end(), '/', '_');
  return temporaryFolderURL().appendingPathComponent(
      lastComponentName(temporaryFileName(extension)));
}

Url TempFilesManager::temporaryURLFileName(const std::string& fileName) {
  return temporaryFolderURL().appendingPathComponent(lastComponentName(fileName));
}

Result<void> TempFilesManager::moveToTemporaryFolder(const Url& url) {
  if (!url.isFileURL()) {
    return FileError{EINVAL, {}, "Cannot move " + url.absoluteString() + ": not a file URL"};
  }
  const auto from = url.filePath();
  const std::string name = from.filename().native();
  // "." or ".." would name the folder itself or its parent.
  if (name.empty() || name == "." || name == "..") {
    return FileError{EINVAL, from, "Cannot move " + url.absoluteString() + ": no file name"};
  }
  return fileManager_.moveItem(from, temporaryFolderURL().filePath() / name);
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
