#include "lumo/storage/FileStorage.h"

#include <algorithm>
#include <iostream>
#include <utility>

#ifndef LUMO_APP_GROUP_PREFIX
#define LUMO_APP_GROUP_PREFIX "group.io.lumoshared"
#endif

namespace lumo {

const char* const FileStorage::kDefaultAppGroupPrefix = LUMO_APP_GROUP_PREFIX;

std::string FileStorage::defaultSharedAppGroup() {
  return std::string(kDefaultAppGroupPrefix) + ".LumoShared";
}

FileStorage::FileStorage() : sharedAppGroup_(defaultSharedAppGroup()) {}

FileStorage::FileStorage(std::string sharedAppGroup) : sharedAppGroup_(std::move(sharedAppGroup)) {}

std::string FileStorage::sharedAppGroup() const {
  std::lock_guard lock(mu_);
  return sharedAppGroup_;
}

void FileStorage::setSharedAppGroup(std::string sharedAppGroup) {
  std::lock_guard lock(mu_);
  sharedAppGroup_ = std::move(sharedAppGroup);
}

std::optional<Url> FileStorage::sharedStorage() const {
  return fileManager_.containerURL(sharedAppGroup());
}

std::optional<Url> FileStorage::sharedStorageLibrary() const {
  auto storage = sharedStorage();
  if (!storage) return std::nullopt;
  return storage->appendingPathComponent("Library/Caches", true);
}

std::vector<Url> FileStorage::sharedStorageFilesURLs() const {
  auto library = sharedStorageLibrary();
  if (!library) return {};

  auto entries = fileManager_.contentsOfDirectory(library->filePath(), true);
  if (!entries) {
    std::cout << "Error getting shared storage files = " << entries.error().localizedDescription()
              << std::endl;
    return {};
  }

  struct Entry {
    std::filesystem::path path;
    FileManager::Date date;
  };
  std::vector<Entry> files;
  for (const auto& path : *entries) {
    std::error_code ec;
    if (std::filesystem::is_directory(std::filesystem::symlink_status(path, ec))) continue;
    // An entry without a date sorts as the distant past.
    files.push_back(
        {path, fileManager_.contentModificationDate(path).value_or(FileManager::Date::min())});
  }
  // Newest first; equal dates by name, so that the order does not depend on the listing.
  std::sort(files.begin(), files.end(), [](const Entry& a, const Entry& b) {
    if (a.date != b.date) return a.date > b.date;
    return a.path < b.path;
  });

  std::vector<Url> urls;
  urls.reserve(files.size());
  for (const auto& file : files) urls.push_back(Url::fileURL(file.path));
  return urls;
}

}  // namespace lumo
