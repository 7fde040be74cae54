#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "lumo/Export.h"
#include "lumo/platform/FileManager.h"
#include "lumo/storage/FileStorageService.h"

namespace lumo {

// The library's `FileStorageService`. The application group's container is the folder
// `$XDG_DATA_HOME/<sharedAppGroup>` (default `~/.local/share/<sharedAppGroup>`); the group
// is available exactly when that folder exists. The host (or a test fixture) creates it; this
// class creates and deletes nothing.
//
//   FileStorage storage;                          // group "group.io.lumoshared.LumoShared"
//   for (const Url& file : storage.sharedStorageFilesURLs()) import(file);
//
// The default group identifier is the build's app-group prefix (CMake cache variable
// LUMO_APP_GROUP_PREFIX, default "group.io.lumoshared"), a dot and "LumoShared". Safe from
// any thread.
class LUMO_API FileStorage : public FileStorageService {
 public:
  // The prefix of the default group identifier.
  static const char* const kDefaultAppGroupPrefix;

  // The default group identifier: kDefaultAppGroupPrefix + ".LumoShared".
  static std::string defaultSharedAppGroup();

  // A storage for the default group.
  FileStorage();
  // A storage for the group `sharedAppGroup`.
  explicit FileStorage(std::string sharedAppGroup);

  std::string sharedAppGroup() const;
  void setSharedAppGroup(std::string sharedAppGroup);

  std::optional<Url> sharedStorage() const override;
  std::optional<Url> sharedStorageLibrary() const override;
  // The direct entries of the caches folder that are not folders, hidden files left out,
  // sorted by content modification date, newest first (entries without a date last). A
  // listing error prints "Error getting shared storage files = " and the error's description
  // to standard output and gives an empty list.
  std::vector<Url> sharedStorageFilesURLs() const override;

  FileManager& fileManager() const { return fileManager_; }

 private:
  mutable std::mutex mu_;
  std::string sharedAppGroup_;  // guarded by mu_
  FileManager& fileManager_ = FileManager::defaultManager();
};

}  // namespace lumo
