#pragma once

#include "lumo/Export.h"

namespace lumo {

// Something the share extension's view can show. The kinds are `ShareItemURL` and
// `ShareItemImage`; the view tells them apart with `dynamic_cast`.
class LUMO_API ShareItem {
 public:
  virtual ~ShareItem() = default;

 protected:
  ShareItem() = default;
  ShareItem(const ShareItem&) = default;
  ShareItem& operator=(const ShareItem&) = default;
};

}  // namespace lumo
