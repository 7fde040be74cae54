#pragma once

#include "lumo/Export.h"
#include "lumo/platform/Url.h"

namespace lumo {

// Puts a share link on the desktop's clipboard.
//
//   if (_pasteboardService) _pasteboardService->copyToPasteBoard(shareURL);
class LUMO_API PasteboardService {
 public:
  virtual ~PasteboardService() = default;

  // Replaces the clipboard's contents with the link's text; true when the link was placed.
  virtual bool copyToPasteBoard(const Url& link) = 0;
};

}  // namespace lumo
