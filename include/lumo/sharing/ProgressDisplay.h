#pragma once

#include "lumo/Export.h"

namespace lumo {

// Host-supplied: the display of the overall upload progress. The library only calls
// `updateProgress` (with the overall fraction, 0.0 to 1.0, after each progress report of a
// task); the other operations are for the host's own use and do nothing unless overridden.
// Optional: when the host registers none, progress is not displayed.
class LUMO_API ProgressDisplay {
 public:
  virtual ~ProgressDisplay() = default;
  virtual void show() {}
  virtual void updateProgress(double progress) = 0;
  virtual void hide() {}
  virtual void reset() {}
};

}  // namespace lumo
