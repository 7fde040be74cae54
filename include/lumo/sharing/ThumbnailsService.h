#pragma once

#include <functional>
#include <optional>

#include "lumo/Export.h"
#include "lumo/capture/Screencast.h"
#include "lumo/platform/PlatformImage.h"

namespace lumo {

// Host-supplied: renders a thumbnail image of a screencast (the `lumo` program takes the
// video's first frame). Optional: without one, screencasts are not shared at all.
//
// The completion is called once, on any thread, with the image or nullopt when none could be
// made. A completion that never comes leaves the share pending without a report.
class LUMO_API ThumbnailsService {
 public:
  virtual ~ThumbnailsService() = default;
  virtual void thumbnail(const Screencast& screencast,
                         std::function<void(std::optional<PlatformImage>)> completion) = 0;
};

}  // namespace lumo
