#pragma once

#include <memory>

#include "lumo/Export.h"
#include "lumo/capture/GIF.h"
#include "lumo/capture/OtherItem.h"
#include "lumo/capture/ScreenCapture.h"
#include "lumo/capture/Screencast.h"
#include "lumo/capture/Screenshot.h"
#include "lumo/sharing/ShareServiceScreenCaptureDelegate.h"

namespace lumo {

// The entry point of sharing: the host hands it a capture and learns everything else through
// the capture delegate (the share states store unless the host replaces it), the clipboard,
// notifications, alerts and the progress display. Implemented by `ShareManager`.
//
//   auto shareService = Resolver::resolveFromRoot<ShareService>();
//   shareService->share(*helper->screenCapture(Url::fileURL(path)));   // any kind
//   shareService->cancelScreenCaptureTask(capture);                    // true if in flight
//   shareService->checkScreenCaptureRemoteState(capture);              // state follows later
//   shareService->deleteScreenCapture(capture);                        // removes it remotely
//
// No operation returns an outcome (apart from the cancel flag) or fails: quota, link and
// upload failures reach `screenCaptureDelegate()` as `screencaptureUploadError`. Every
// operation may be called from any thread.
class LUMO_API ShareService {
 public:
  virtual ~ShareService() = default;

  // The receiver of every state change of a capture, held weakly; empty when none is set or it
  // is gone.
  virtual std::shared_ptr<ShareServiceScreenCaptureDelegate> screenCaptureDelegate() const = 0;
  virtual void setScreenCaptureDelegate(
      std::weak_ptr<ShareServiceScreenCaptureDelegate> delegate) = 0;

  // Shares a capture of any kind: a `Screenshot`, `Screencast`, `GIF` or `OtherItem` goes to
  // the matching overload below; a kind the service does not know is only logged.
  virtual void share(const ScreenCapture& screenCapture) = 0;
  // Checks the quota, puts the share link on the clipboard, notifies the host and queues the
  // upload, all before returning. The file is read once to name it remotely.
  virtual void share(const Screenshot& screenshot) = 0;
  // Has the host render a thumbnail, writes it and the screencast's web page to the internal
  // folder, then (on the main queue) queues the upload of the three files and puts the page's
  // link on the clipboard. Does nothing when the host supplies no `ThumbnailsService`.
  virtual void share(const Screencast& screencast) = 0;
  virtual void share(const GIF& gif) = 0;
  virtual void share(const OtherItem& otherItem) = 0;

  // Removes the uploaded files of the capture from the service (all three of a screencast).
  // Nothing happens when no share link can be made for it (the file is gone).
  virtual void deleteScreenCapture(const ScreenCapture& screenCapture) = 0;

  // Cancels the upload in flight whose capture has the same path below "Documents" as
  // `screenCapture`; false when there is none. The delegate then hears
  // `screencaptureUploadCancelled`.
  virtual bool cancelScreenCaptureTask(const ScreenCapture& screenCapture) = 0;

  // Asks the delivery address whether the capture's file is still there and reports it as
  // `screenCaptureRemoteStateUpdated`: on the server for a 2xx answer, gone for a 403; any other
  // outcome reports nothing.
  virtual void checkScreenCaptureRemoteState(const ScreenCapture& screenCapture) = 0;
};

}  // namespace lumo
