#include "lumo/sharing/PasteboardManager.h"

namespace lumo {

PasteboardManager::PasteboardManager(Clipboard& clipboard) : clipboard_(clipboard) {}

bool PasteboardManager::copyToPasteBoard(const Url& link) {
  clipboard_.setText(link.absoluteString());
  return true;
}

}  // namespace lumo
