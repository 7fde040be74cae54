#include "lumo/extension/ShareExtensionError.h"

namespace lumo {

std::string errorDescription(ShareExtensionError error) {
  switch (error) {
    case ShareExtensionError::urlToShareIsAbsent:
      return "Item's URL is absent";
    case ShareExtensionError::cantGetSharedStorage:
      return "Can't get shared storage URL";
    case ShareExtensionError::cantGetLocalCachesDirectoryURLs:
      return "Can't get local storage URL";
    case ShareExtensionError::cantGetImageData:
      return "Can't get image data";
  }
  return {};
}

}  // namespace lumo
