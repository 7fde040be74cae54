#pragma once

#include <memory>
#include <vector>

#include "lumo/Export.h"
#include "lumo/platform/ItemProvider.h"

namespace lumo {

// One input item of a share request: the attachments another application shares at once.
class LUMO_API ExtensionItem {
 public:
  virtual ~ExtensionItem() = default;

  // The item's attachments, in the order they were handed over; empty when there are none.
  virtual std::vector<std::shared_ptr<ItemProvider>> attachments() const = 0;
};

}  // namespace lumo
