#pragma once

#include <memory>
#include <optional>

#include "lumo/Export.h"
#include "lumo/capture/ScreenCapture.h"
#include "lumo/sharing/ProgressModel.h"
#include "lumo/sharing/ShareServiceScreenCaptureDelegate.h"
#include "lumo/sharing/ShareState.h"
#include "lumo/sharing/ShareStatesServiceDelegate.h"

namespace lumo {

// The share state of every capture, kept across restarts, and the progress of uploads in
// flight. The share service reports into it through `ShareServiceScreenCaptureDelegate`; the
// host asks it:
//
//   auto states = Resolver::resolveFromRoot<ShareStatesService>();
//   states->setDelegate(myObserver);
//   if (states->getState(screenshot) == ShareState::uploaded) ...
//   if (auto p = states->getProgress(screenshot)) showBar(p->progress);
//
// A capture is known by its `relativeScreenCapturePath`: two captures whose paths agree after
// "Documents" share one state. Every operation is safe from any thread.
class LUMO_API ShareStatesService : public ShareServiceScreenCaptureDelegate {
 public:
  // The host's observer, held weakly; empty when none is set or it is gone.
  virtual std::shared_ptr<ShareStatesServiceDelegate> delegate() const = 0;
  virtual void setDelegate(std::weak_ptr<ShareStatesServiceDelegate> delegate) = 0;

  // Reads the states file into the store, on the calling thread.
  virtual void loadFromStorage() = 0;

  // The recorded state of the capture; `ShareState::unknown` when none is recorded.
  virtual ShareState getState(const ScreenCapture& screenCapture) const = 0;
  // The latest progress of the capture's upload; nullopt when none is in flight.
  virtual std::optional<ProgressModel> getProgress(const ScreenCapture& screenCapture) const = 0;
};

}  // namespace lumo
