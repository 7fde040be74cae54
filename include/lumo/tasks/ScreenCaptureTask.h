#pragma once

#include "lumo/Export.h"
#include "lumo/capture/ScreenCapture.h"

namespace lumo {

// A transfer task bound to one capture. The share service finds the task of a capture through
// it (with `dynamic_cast` from the queued operation), cancels it and names the capture in its
// notices.
class LUMO_API ScreenCaptureTask {
 public:
  virtual ~ScreenCaptureTask() = default;

  // The capture the task works on.
  virtual const ScreenCapture& screenCapture() const = 0;
  virtual void cancel() = 0;
};

}  // namespace lumo
