#pragma once

#include "lumo/Export.h"
#include "lumo/platform/FileManager.h"
#include "lumo/storage/DirectoriesService.h"

namespace lumo {

// The library's `DirectoriesService`, over the XDG folders of the platform's file manager:
//
//   auto dirs = std::make_shared<DirectoriesManager>();
//   dirs->lumoInternalDirectory();    // file:///home/me/.local/share/lumo/
//   dirs->lumoUserFilesDirectory();   // file:///home/me/Pictures/Lumo/
//
// Every location is a folder URL (trailing "/"). The operations fail with the file manager's
// error when no home folder can be determined or the Pictures folder cannot be created.
// Stateless; safe from any thread.
class LUMO_API DirectoriesManager : public DirectoriesService {
 public:
  DirectoriesManager() = default;

  Result<Url> lumoUserFilesDirectory() override;
  Result<Url> lumoInternalDirectory() override;
  Result<Url> lumoUserFilesDefaultDirectory() override;
  Result<Url> picturesDirectory() override;

  FileManager& fileManager() const { return fileManager_; }

 private:
  FileManager& fileManager_ = FileManager::defaultManager();
};

}  // namespace lumo
