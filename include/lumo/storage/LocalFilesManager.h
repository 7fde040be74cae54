#pragma once

#include "lumo/Export.h"
#include "lumo/platform/FileManager.h"
#include "lumo/storage/LocalFilesService.h"

namespace lumo {

// The library's `LocalFilesService`, over the platform's file manager.
//
//   LocalFilesManager files;
//   files.getFileSize(Url::fileURL("/tmp/a.png"));   // 1234, or nullopt
//   files.deleteFile(Url::fileURL("/tmp/a.png"));    // true once removed
//
// URLs that are not file URLs name no item. Stateless; safe from any thread.
class LUMO_API LocalFilesManager : public LocalFilesService {
 public:
  LocalFilesManager() = default;

  std::optional<std::int64_t> getFileSize(const Url& url) override;
  bool fileExists(const Url& url) override;
  bool deleteFile(const Url& url) override;

  FileManager& fileManager() const { return fileManager_; }

 private:
  FileManager& fileManager_ = FileManager::defaultManager();
};

}  // namespace lumo
