#pragma once

#include <memory>
#include <utility>
#include <vector>

#include "lumo/Export.h"
#include "lumo/platform/ExtensionItem.h"

namespace lumo {

// An input item of the Linux share extension: a fixed list of attachments. Immutable; safe from
// any thread.
class LUMO_API LinuxExtensionItem : public ExtensionItem {
 public:
  explicit LinuxExtensionItem(std::vector<std::shared_ptr<ItemProvider>> attachments)
      : attachments_(std::move(attachments)) {}

  std::vector<std::shared_ptr<ItemProvider>> attachments() const override { return attachments_; }

 private:
  const std::vector<std::shared_ptr<ItemProvider>> attachments_;
};

}  // namespace lumo
