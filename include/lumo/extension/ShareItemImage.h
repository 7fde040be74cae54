#pragma once

#include <utility>

#include "lumo/Export.h"
#include "lumo/extension/ShareItem.h"
#include "lumo/platform/PlatformImage.h"

namespace lumo {

// A shared image held in memory. Hosts may show such items; the intake never makes one.
struct LUMO_API ShareItemImage : ShareItem {
  explicit ShareItemImage(PlatformImage nsImage) : nsImage(std::move(nsImage)) {}

  PlatformImage nsImage;
};

}  // namespace lumo
