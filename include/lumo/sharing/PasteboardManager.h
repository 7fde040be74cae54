#pragma once

#include "lumo/Export.h"
#include "lumo/platform/Clipboard.h"
#include "lumo/sharing/PasteboardService.h"

namespace lumo {

// The library's `PasteboardService`: writes the link's absolute string to a `Clipboard`, by
// default the process-wide one (wl-copy, xclip or xsel, else memory; see `Clipboard`).
//
//   Resolver::registerInMain<PasteboardService>([] {
//     return std::make_shared<PasteboardManager>();
//   });
//
// Any thread may call it; copies are serialised by the clipboard.
class LUMO_API PasteboardManager : public PasteboardService {
 public:
  // Writes to `clipboard`, which must outlive the manager (the process-wide one always does).
  explicit PasteboardManager(Clipboard& clipboard = Clipboard::general());

  // Always true: when no tool can take the link, the clipboard keeps it in memory.
  bool copyToPasteBoard(const Url& link) override;

 private:
  Clipboard& clipboard_;
};

}  // namespace lumo
