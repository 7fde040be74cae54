#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "lumo/capture/ScreenCapture.h"
#include "lumo/sharing/ShareService.h"
#include "lumo/sharing/ShareServiceScreenCaptureDelegate.h"
#include "lumo/sharing/ShareStatesService.h"
#include "lumo/sharing/UploadQueueDelegate.h"

namespace lumo::cli {

// Follows the captures a command asked about. It stands between the share service and the share
// states store: every report is passed to the store first (so the states are recorded and saved
// as usual) and then noted here, with the error of a failure, which the store does not keep. It
// also watches the count of the share service's transfer queue.
//
// Reports come on any thread; everything here is guarded by one mutex.
class CaptureTracker : public ShareServiceScreenCaptureDelegate,
                       public UploadQueueDelegate,
                       public std::enable_shared_from_this<CaptureTracker> {
 public:
  struct Entry {
    std::string file;  // as the user named it
    std::shared_ptr<const ScreenCapture> capture;
    ShareState state = ShareState::unknown;
    std::size_t reports = 0;  // state reports since tracking began
    std::optional<std::string> error;
    bool deleted = false;
    std::size_t order = 0;  // position in the command's list
  };
  using StateHandler = std::function<void(const Entry&)>;

  CaptureTracker(std::shared_ptr<ShareStatesService> states, std::weak_ptr<ShareService> service);

  // Starts following `capture`; state reports of it are passed to `onState` as well.
  void track(const std::string& file, std::shared_ptr<const ScreenCapture> capture);
  void setOnState(StateHandler onState);

  // In the order they were tracked.
  std::vector<Entry> entries() const;
  // The transfers in the share service's queue, and whether it ever held one.
  std::int64_t queueCount() const { return queueCount_.load(); }
  bool queueWasBusy() const { return queueWasBusy_.load(); }

  // From now on every upload of a tracked capture that starts is cancelled, and those already
  // in flight are cancelled now (call on the main thread).
  void cancelAll();

  void screencapturePreparingForUploading(const ScreenCapture& screenCapture) override;
  void screencaptureStartedUploading(const ScreenCapture& screenCapture) override;
  void screencaptureUploadComplete(const ScreenCapture& screenCapture) override;
  void screencaptureUploadError(const ScreenCapture& screenCapture, const Error& error) override;
  void screencaptureUploadCancelled(const ScreenCapture& screenCapture) override;
  void screencaptureProgressUpdated(const ScreenCapture& screenCapture, std::int64_t totalFileSize,
                                    double progress) override;
  void screencaptureDeleteS3Completed(const ScreenCapture& screenCapture) override;
  void screenCaptureRemoteStateUpdated(const ScreenCapture& screenCapture,
                                       bool existsOnServer) override;

  void uploadQueue(UploadQueue& queue, std::int64_t operationCountChanged) override;

 private:
  void record(const ScreenCapture& screenCapture, ShareState state,
              const std::optional<std::string>& error = std::nullopt, bool deleted = false);
  // Cancels the upload of `capture`, retrying briefly while the task registers itself.
  void cancelSoon(const std::shared_ptr<const ScreenCapture>& capture, int attempts);

  const std::shared_ptr<ShareStatesService> states_;
  const std::weak_ptr<ShareService> service_;
  mutable std::mutex mu_;
  std::map<std::string, Entry> entries_;  // by the capture's identity; guarded by mu_
  StateHandler onState_;                  // guarded by mu_
  std::atomic<std::int64_t> queueCount_{0};
  std::atomic<bool> queueWasBusy_{false};
  std::atomic<bool> cancelling_{false};
};

bool isFinal(ShareState state);

}  // namespace lumo::cli
