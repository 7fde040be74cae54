#pragma once

#include <cstdint>
#include <optional>

#include "lumo/Export.h"
#include "lumo/platform/Url.h"

namespace lumo {

// Size, existence and removal of local files.
class LUMO_API LocalFilesService {
 public:
  virtual ~LocalFilesService() = default;

  // The size in bytes of the file at `url`; nullopt when it cannot be read (no such file, no
  // permission) or the item has none (a folder).
  virtual std::optional<std::int64_t> getFileSize(const Url& url) = 0;
  // Whether an item exists at the URL's path.
  virtual bool fileExists(const Url& url) = 0;
  // Removes the item at `url` (a folder with its contents); false when that failed.
  virtual bool deleteFile(const Url& url) = 0;
};

}  // namespace lumo
