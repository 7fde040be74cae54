#pragma once

#include <string>

#include "lumo/Export.h"

namespace lumo {

// The share extension's own failures, with the texts shown to users.
//
//   Error e = ShareExtensionError::urlToShareIsAbsent;
//   e.localizedDescription();   // "Item's URL is absent"
enum class ShareExtensionError {
  urlToShareIsAbsent,
  cantGetSharedStorage,
  cantGetLocalCachesDirectoryURLs,
  cantGetImageData,
};

// "Item's URL is absent", "Can't get shared storage URL", "Can't get local storage URL",
// "Can't get image data".
LUMO_API std::string errorDescription(ShareExtensionError error);

// The same text, for `Error`.
inline std::string localizedDescription(ShareExtensionError error) {
  return errorDescription(error);
}

}  // namespace lumo
