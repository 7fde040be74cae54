#include "lumo/storage/LocalFilesManager.h"

namespace lumo {

std::optional<std::int64_t> LocalFilesManager::getFileSize(const Url& url) {
  if (!url.isFileURL()) return std::nullopt;
  return fileManager_.fileSize(url.filePath());
}

bool LocalFilesManager::fileExists(const Url& url) {
  return url.isFileURL() && fileManager_.fileExists(url.filePath());
}

bool LocalFilesManager::deleteFile(const Url& url) {
  return url.isFileURL() && fileManager_.removeItem(url.filePath()).ok();
}

}  // namespace lumo
