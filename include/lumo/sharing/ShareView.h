#pragma once

#include "lumo/Export.h"

namespace lumo {

// Host-supplied: the share extension's view. The intake calls `shareItemsDidLoad()` on the main
// thread once it has processed every attachment. Held weakly by the intake's model.
class LUMO_API ShareView {
 public:
  virtual ~ShareView() = default;
  virtual void shareItemsDidLoad() = 0;
};

}  // namespace lumo
