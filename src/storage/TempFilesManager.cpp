#include "lumo/storage/TempFilesManager.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <system_error>
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
  if (auto base = baseFolder(); !base) {
    std::cout << "Can't find a temporary folder. " << base.error().localizedDescription()
              << std::endl;
  }
  // Qualified: a constructor cannot reach an override, and the call should say so.
  const auto folder = TempFilesManager::temporaryFolderURL().filePath();
  if (!fileManager_.fileExists(folder)) (void)fileManager_.createDirectory(folder, false);
}

Result<std::filesystem::path> TempFilesManager::baseFolder() const {
  if (auto library = fileManager_.url(SearchPathDirectory::library, false)) {
    return library->filePath();
  }
  std::error_code ec;
  std::filesystem::path temporary = std::filesystem::temp_directory_path(ec);
  if (!ec) return temporary;
  return Error(FileError{ec.value(), unusableTemporaryFolder(),
                         "There is no home folder, and the temporary folder " +
                             quotedPath(unusableTemporaryFolder()) +
                             " cannot be used: " + ec.message()});
}

std::filesystem::path TempFilesManager::unusableTemporaryFolder() {
  // The variables the system's temporary folder is looked up in, in the same order.
  for (const char* name : {"TMPDIR", "TMP", "TEMP", "TEMPDIR"}) {
    if (const char* value = std::getenv(name); value && *value) return value;
  }
  return "/tmp";
}

Url TempFilesManager::temporaryFolderURL() {
  // Without a usable folder the path stays the one that was asked for: every file operation in
  // it then fails with the file system's own error.
  auto base = baseFolder();
  return Url::fileURL(base ? *base : unusableTemporaryFolder(), true)
      .appendingPathComponent(lumoTempDirectory_, true);
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
