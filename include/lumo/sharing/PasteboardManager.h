#pragma once

#include "lumo/Export.h"
#include "lumo/platform/Clipboard.h"
#include "lumo/registry/Injected.h"
#include "lumo/sharing/PasteboardService.h"
#include "lumo/support/LogService.h"

namespace lumo {

// The library's `PasteboardService`: writes the link's absolute string to a `Clipboard`, by
// default the process-wide one (wl-copy, xclip or xsel, else memory; see `Clipboard`).
//
//   Resolver::registerInMain<PasteboardService>([] {
//     return std::make_shared<PasteboardManager>();
//   });
//
// A copy that did not reach its usual destination (a display that did not answer in time, a
// tool that failed) is logged with the reason, when a `LogService` is registered.
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
  OptionalInjected<LogService> _logService;
};

}  // namespace lumo
