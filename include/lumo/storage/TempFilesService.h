#pragma once

#include <string>

#include "lumo/Export.h"
#include "lumo/platform/Url.h"
#include "lumo/support/Result.h"

namespace lumo {

// A private temporary folder of the application: unique names and URLs inside it, moving
// files in and emptying it.
class LUMO_API TempFilesService {
 public:
  virtual ~TempFilesService() = default;

  // The temporary folder: the user's Library folder + "LumoTemp".
  virtual Url temporaryFolderURL() = 0;
  // A new random UUID, upper case with hyphens (36 characters); different on every call.
  virtual std::string temporaryFileName() = 0;
  // A new UUID, ".", and `fileSuffix`.
  virtual std::string temporaryFileName(const std::string& fileSuffix) = 0;
  // `temporaryFolderURL()` + a new UUID, "." and `fileExtension`.
  virtual Url temporaryURLWith(const std::string& fileExtension) = 0;
  // `temporaryFolderURL()` + `fileName`.
  virtual Url temporaryURLFileName(const std::string& fileName) = 0;
  // Moves the item at `url` into the temporary folder under its own name; fails when an item
  // of that name is already there (nothing moves then) or the move fails.
  virtual Result<void> moveToTemporaryFolder(const Url& url) = 0;
  // Removes what the temporary folder holds; the folder stays. The first item that cannot be
  // removed prints "Can't delete file in temporary folder. " and the error's description to
  // standard output and ends the cleaning.
  virtual void cleanTemporaryFolder() = 0;
};

}  // namespace lumo
