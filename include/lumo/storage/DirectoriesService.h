#pragma once

#include "lumo/Export.h"
#include "lumo/platform/Url.h"
#include "lumo/support/Result.h"

namespace lumo {

// The places on disk where captures and the library's own files live. Computes locations
// only; apart from the Pictures folder, nothing is created.
class LUMO_API DirectoriesService {
 public:
  virtual ~DirectoriesService() = default;

  // The folder of the user's captures: `lumoUserFilesDefaultDirectory()` of this same object,
  // so that overriding the default changes both.
  virtual Result<Url> lumoUserFilesDirectory() = 0;
  // The library's internal folder: the user's Library folder (`$XDG_DATA_HOME`) + "lumo".
  // Not created here: the host creates it.
  virtual Result<Url> lumoInternalDirectory() = 0;
  // `picturesDirectory()` + "Lumo" (not created).
  virtual Result<Url> lumoUserFilesDefaultDirectory() = 0;
  // The user's Pictures folder (the XDG pictures folder, default ~/Pictures), created when
  // missing.
  virtual Result<Url> picturesDirectory() = 0;
};

}  // namespace lumo
