#include "lumo/sharing/PasteboardManager.h"

#include <string>

namespace lumo {

PasteboardManager::PasteboardManager(Clipboard& clipboard) : clipboard_(clipboard) {}

bool PasteboardManager::copyToPasteBoard(const Url& link) {
  const auto destination = clipboard_.setText(link.absoluteString());
  if (auto problem = clipboard_.lastProblem(); problem && _logService) {
    _logService->info(
        "Clipboard: " + *problem + "; the link went to " + std::string(toString(destination)), true,
        std::nullopt);
  }
  return true;
}

}  // namespace lumo
