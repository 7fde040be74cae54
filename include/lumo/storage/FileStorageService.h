#pragma once

#include <optional>
#include <vector>

#include "lumo/Export.h"
#include "lumo/platform/Url.h"

namespace lumo {

// The storage that the capture application and its share extension share: the application
// group's container and the files waiting in its caches folder.
class LUMO_API FileStorageService {
 public:
  virtual ~FileStorageService() = default;

  // The group's container, nullopt when the group is not available to the process.
  virtual std::optional<Url> sharedStorage() const = 0;
  // `sharedStorage()` + "Library/Caches/"; nullopt without a container.
  virtual std::optional<Url> sharedStorageLibrary() const = 0;
  // The files waiting in `sharedStorageLibrary()`, newest first; empty when there are none or
  // the folder cannot be listed.
  virtual std::vector<Url> sharedStorageFilesURLs() const = 0;
};

}  // namespace lumo
