#pragma once

#include <cstdint>

#include "lumo/Export.h"
#include "lumo/capture/ScreenCapture.h"
#include "lumo/sharing/ShareState.h"

namespace lumo {

// Host-supplied: observes the share states store. Set it as the store's `delegate` (held
// weakly).
//
// Both calls come on the thread that reported the change (any thread); a host that updates its
// interface hops to its main queue itself.
class LUMO_API ShareStatesServiceDelegate {
 public:
  virtual ~ShareStatesServiceDelegate() = default;

  // After every state update, with the new state.
  virtual void screenCaptureStateChanged(const ScreenCapture& screenCapture, ShareState state) = 0;
  // After every progress update, with the upload's byte count and fraction.
  virtual void screenCaptureProgressChanged(const ScreenCapture& screenCapture,
                                            std::int64_t totalFileSize, double progress) = 0;
};

}  // namespace lumo
