#include "lumo/storage/TempFilesManager.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <iostream>

namespace lumo {
namespace {

// A random (version 4) UUID in the desktop's text form: upper case, with hyphens.
std::string makeUUID() {
  std::uint8_t bytes[16];
  for (std::size_t filled = 0; filled < sizeof bytes;) {
    ssize_t n = ::getrandom(bytes + filled, sizeof bytes - filled, 0);
    if (n > 0) filled += static_cast<std::size_t>(n);
  }
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0f) | 0x40);
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3f) | 0x80);
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(36);
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    text += kHex[bytes[i] >> 4];
    text += kHex[bytes[i] & 0xf];
  }
  return text;
}

}  // namespace

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
  return makeUUID();
}

std::string TempFilesManager::temporaryFileName(const std::string& fileSuffix) {
  return makeUUID() + "." + fileSuffix;
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
