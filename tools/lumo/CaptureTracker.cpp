#include "CaptureTracker.h"

#include <algorithm>
#include <chrono>

#include "lumo/capture/ScreenCaptureUrl.h"
#include "lumo/support/DispatchQueue.h"

namespace lumo::cli {

bool isFinal(ShareState state) {
  return state == ShareState::uploaded || state == ShareState::error ||
         state == ShareState::cancelled;
}

CaptureTracker::CaptureTracker(std::shared_ptr<ShareStatesService> states,
                               std::weak_ptr<ShareService> service)
    : states_(std::move(states)), service_(std::move(service)) {}

void CaptureTracker::track(const std::string& file, std::shared_ptr<const ScreenCapture> capture) {
  const std::string id = relativeScreenCapturePath(capture->fileURL());
  std::lock_guard lock(mu_);
  Entry& entry = entries_[id];
  if (entry.file.empty()) entry.order = entries_.size();
  entry.file = file;
  entry.state = states_->getState(*capture);
  entry.capture = std::move(capture);
}

void CaptureTracker::setOnState(StateHandler onState) {
  std::lock_guard lock(mu_);
  onState_ = std::move(onState);
}

std::vector<CaptureTracker::Entry> CaptureTracker::entries() const {
  std::lock_guard lock(mu_);
  std::vector<Entry> out;
  for (const auto& [id, entry] : entries_) out.push_back(entry);
  std::sort(out.begin(), out.end(),
            [](const Entry& a, const Entry& b) { return a.order < b.order; });
  return out;
}

void CaptureTracker::record(const ScreenCapture& screenCapture, ShareState state,
                            const std::optional<std::string>& error, bool deleted) {
  const std::string id = relativeScreenCapturePath(screenCapture.fileURL());
  StateHandler onState;
  Entry copy;
  {
    std::lock_guard lock(mu_);
    auto it = entries_.find(id);
    if (it == entries_.end()) return;
    it->second.state = state;
    ++it->second.reports;
    if (error) it->second.error = error;
    it->second.deleted = it->second.deleted || deleted;
    copy = it->second;
    onState = onState_;
  }
  if (onState) onState(copy);
}

void CaptureTracker::cancelAll() {
  cancelling_ = true;
  for (const auto& entry : entries()) {
    if (!isFinal(entry.state)) cancelSoon(entry.capture, 1);
  }
}

void CaptureTracker::cancelSoon(const std::shared_ptr<const ScreenCapture>& capture, int attempts) {
  auto service = service_.lock();
  if (!service || service->cancelScreenCaptureTask(*capture) || attempts <= 0) return;
  // Reported as started before the share service lists the task: try again shortly.
  DispatchQueue::main().asyncAfter(std::chrono::milliseconds(50),
                                   [weakSelf = weak_from_this(), capture, attempts] {
                                     if (auto self = weakSelf.lock())
                                       self->cancelSoon(capture, attempts - 1);
                                   });
}

void CaptureTracker::screencapturePreparingForUploading(const ScreenCapture& screenCapture) {
  states_->screencapturePreparingForUploading(screenCapture);
  record(screenCapture, ShareState::preparingForUploading);
}

void CaptureTracker::screencaptureStartedUploading(const ScreenCapture& screenCapture) {
  states_->screencaptureStartedUploading(screenCapture);
  record(screenCapture, ShareState::uploading);
  if (cancelling_) {
    std::shared_ptr<const ScreenCapture> capture = screenCapture.clone();
    DispatchQueue::main().async([weakSelf = weak_from_this(), capture] {
      if (auto self = weakSelf.lock()) self->cancelSoon(capture, 40);
    });
  }
}

void CaptureTracker::screencaptureUploadComplete(const ScreenCapture& screenCapture) {
  states_->screencaptureUploadComplete(screenCapture);
  record(screenCapture, ShareState::uploaded);
}

void CaptureTracker::screencaptureUploadError(const ScreenCapture& screenCapture,
                                              const Error& error) {
  states_->screencaptureUploadError(screenCapture, error);
  record(screenCapture, ShareState::error, error.localizedDescription());
}

void CaptureTracker::screencaptureUploadCancelled(const ScreenCapture& screenCapture) {
  states_->screencaptureUploadCancelled(screenCapture);
  record(screenCapture, ShareState::cancelled);
}

void CaptureTracker::screencaptureProgressUpdated(const ScreenCapture& screenCapture,
                                                  std::int64_t totalFileSize, double progress) {
  states_->screencaptureProgressUpdated(screenCapture, totalFileSize, progress);
}

void CaptureTracker::screencaptureDeleteS3Completed(const ScreenCapture& screenCapture) {
  states_->screencaptureDeleteS3Completed(screenCapture);
  record(screenCapture, ShareState::notUploaded, std::nullopt, true);
}

void CaptureTracker::screenCaptureRemoteStateUpdated(const ScreenCapture& screenCapture,
                                                     bool existsOnServer) {
  states_->screenCaptureRemoteStateUpdated(screenCapture, existsOnServer);
  record(screenCapture, existsOnServer ? ShareState::uploaded : ShareState::notUploaded);
}

void CaptureTracker::uploadQueue(UploadQueue& /*queue*/, std::int64_t operationCountChanged) {
  if (operationCountChanged > 0) queueWasBusy_ = true;
  queueCount_ = operationCountChanged;
}

}  // namespace lumo::cli
