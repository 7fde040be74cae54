#pragma once

#include <string>

#include "lumo/Export.h"

namespace lumo {

// Why an `UploadScreencastTask` could not be made: the size of one of its three files is
// unknown (the file is gone, unreadable, or the screencast has no thumbnail).
enum class UploadScreencastTaskError {
  screencastFileSizeUnknown,
  screencastThumbnailFileSizeUnknown,
  screencastHtmlFileSizeUnknown,
};

// The platform's generic text, naming the type and the case's number: the error has no text of
// its own.
LUMO_API std::string localizedDescription(UploadScreencastTaskError error);

}  // namespace lumo
