#include "lumo/storage/DirectoriesManager.h"

namespace lumo {

Result<Url> DirectoriesManager::lumoUserFilesDirectory() {
  return lumoUserFilesDefaultDirectory();
}

Result<Url> DirectoriesManager::lumoInternalDirectory() {
  auto library = fileManager_.url(SearchPathDirectory::library, false);
  if (!library) return library.error();
  return library->appendingPathComponent("lumo", true);
}

Result<Url> DirectoriesManager::lumoUserFilesDefaultDirectory() {
  auto pictures = picturesDirectory();
  if (!pictures) return pictures.error();
  return pictures->appendingPathComponent("Lumo", true);
}

Result<Url> DirectoriesManager::picturesDirectory() {
  return fileManager_.url(SearchPathDirectory::pictures, true);
}

}  // namespace lumo
