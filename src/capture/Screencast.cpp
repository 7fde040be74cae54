#include "lumo/capture/Screencast.h"

#include <cmath>

#include "lumo/platform/FileManager.h"
#include "lumo/platform/MediaAsset.h"

namespace lumo {

std::int64_t Screencast::durationSeconds() const {
  const double seconds = MediaAsset::make(fileURL_)->duration().seconds();
  // A file that is still being written, or none at all, has no finite duration.
  if (!std::isfinite(seconds)) return 0;
  return static_cast<std::int64_t>(std::trunc(seconds));
}

std::optional<std::int64_t> Screencast::thumbnailFileSize() const {
  if (!thumbnailFileURL_) return std::nullopt;
  return FileManager::defaultManager().fileSize(thumbnailFileURL_->filePath());
}

}  // namespace lumo
