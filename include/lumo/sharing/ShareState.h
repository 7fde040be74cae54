#pragma once

#include <optional>
#include <string_view>

#include "lumo/Export.h"

namespace lumo {

// The share state of a capture, as the share states store records it and writes it to its file
// by its text value:
//
//   rawValue(ShareState::notUploaded);             // "notUploaded"
//   shareStateFromRawValue("uploaded");            // ShareState::uploaded
//   shareStateFromRawValue("deleted");             // nullopt: any other text is no state
//
// `unknown` is what a capture that was never reported reads as.
enum class ShareState {
  preparingForUploading,
  uploading,
  error,
  uploaded,
  cancelled,
  notUploaded,
  unknown,
};

// The text value of `state`, exactly as written in the states file.
LUMO_API std::string_view rawValue(ShareState state);

// The state whose text value is `text` (compared exactly, case included); nullopt for any other
// text.
LUMO_API std::optional<ShareState> shareStateFromRawValue(std::string_view text);

}  // namespace lumo
