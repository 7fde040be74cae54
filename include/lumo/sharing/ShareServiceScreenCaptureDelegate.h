#pragma once

#include <cstdint>

#include "lumo/Export.h"
#include "lumo/capture/ScreenCapture.h"
#include "lumo/support/Error.h"

namespace lumo {

// Every change in the sharing of a capture, as the share service reports it. The share states
// store implements it (it is the share service's `screenCaptureDelegate`) and records each
// call; the service holds it weakly.
//
// Calls come on any thread: the caller's for a share request, the upload queue's or the main
// thread for the events of a transfer.
class LUMO_API ShareServiceScreenCaptureDelegate {
 public:
  virtual ~ShareServiceScreenCaptureDelegate() = default;

  virtual void screencapturePreparingForUploading(const ScreenCapture& screenCapture) = 0;
  virtual void screencaptureStartedUploading(const ScreenCapture& screenCapture) = 0;
  virtual void screencaptureUploadComplete(const ScreenCapture& screenCapture) = 0;
  virtual void screencaptureUploadError(const ScreenCapture& screenCapture, const Error& error) = 0;
  virtual void screencaptureUploadCancelled(const ScreenCapture& screenCapture) = 0;
  // `totalFileSize` in bytes, `progress` the fraction (0 to 1) sent so far.
  virtual void screencaptureProgressUpdated(const ScreenCapture& screenCapture,
                                            std::int64_t totalFileSize, double progress) = 0;
  // The capture's files were removed from the service.
  virtual void screencaptureDeleteS3Completed(const ScreenCapture& screenCapture) = 0;
  // A remote check found the capture on the server, or found it gone.
  virtual void screenCaptureRemoteStateUpdated(const ScreenCapture& screenCapture,
                                               bool existsOnServer) = 0;
};

}  // namespace lumo
