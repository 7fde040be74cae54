#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "lumo/Export.h"
#include "lumo/registry/Injected.h"
#include "lumo/sharing/GlobalAlertsService.h"
#include "lumo/sharing/ShareStateModel.h"
#include "lumo/sharing/ShareStateProgressModel.h"
#include "lumo/sharing/ShareStatesService.h"
#include "lumo/storage/DirectoriesService.h"
#include "lumo/storage/LocalFilesService.h"
#include "lumo/support/Atomic.h"
#include "lumo/support/DispatchQueue.h"
#include "lumo/support/LogService.h"
#include "lumo/support/SpinLock.h"

namespace lumo {

// The library's `ShareStatesService`: states in memory, saved to "share_states.json" in the
// internal folder, progress in memory only. Registered once and shared:
//
//   Resolver::registerInMain<ShareStatesService>([] {
//     return std::make_shared<ShareStatesManager>();
//   }).scope(Resolver::application());
//
// It needs `DirectoriesService`, `LocalFilesService` and `LogService` registered, and uses a
// `GlobalAlertsService` when there is one to show every recorded upload error. Construction
// loads the states file on the calling thread (see `loadFromStorage`). Always own it through a
// `std::shared_ptr`: its saves and alerts hold it weakly.
//
// Saving. Every state update asks for a save on `statesQueue()`; a progress update does not.
// Saves are coalesced: while one save is waiting to run, further updates ask for no other,
// since a save writes the states current when it runs. Once the queue is idle the file holds
// the latest states. A save writes a temporary file in the same folder, flushes it to disk and
// renames it over the states file, so the file is always a complete earlier or later version,
// even when the process is killed mid-save. A save that fails (the disk is full) is logged and
// leaves the earlier file as it was; the next save writes every state again. States not yet
// saved when the store goes away, or whose last save failed, are written by its destructor.
//
// Threads: every operation may be called from any thread. The host's delegate is called on the
// thread of the report, alerts on the main queue.
class LUMO_API ShareStatesManager : public ShareStatesService,
                                    public std::enable_shared_from_this<ShareStatesManager> {
 public:
  // The name of the states file inside the internal folder.
  static constexpr const char* kStatesFileName = "share_states.json";

  // Resolves the services, then loads the states file.
  ShareStatesManager();
  ~ShareStatesManager() override;
  ShareStatesManager(const ShareStatesManager&) = delete;
  ShareStatesManager& operator=(const ShareStatesManager&) = delete;

  std::shared_ptr<ShareStatesServiceDelegate> delegate() const override;
  void setDelegate(std::weak_ptr<ShareStatesServiceDelegate> delegate) override;

  // 1. A missing file is created with the current states ("[]" on a fresh start).
  // 2. A valid file (an array of {"id", "state"} objects, the first of several with one id
  //    winning) replaces the states, every "uploading" read as "error": an upload does not
  //    survive a restart. The file is not rewritten.
  //    A valid file is read in full whatever its size, as long as it fits in memory.
  // 3. An invalid file (no regular file, not such an array, an unknown state, nested deeper
  //    than any states file) is logged, deleted and replaced by the current states; when it
  //    cannot be deleted it stays, and the states are left as they were.
  // 4. A file whose content could not be read (it could not be opened or read, or did not fit
  //    in memory) may hold every state of the application: it is logged and kept, the states
  //    are left as they were, and no save writes the file until a later load reads it.
  // Temporary files left behind by a process killed while saving are removed.
  void loadFromStorage() override;

  ShareState getState(const ScreenCapture& screenCapture) const override;
  std::optional<ProgressModel> getProgress(const ScreenCapture& screenCapture) const override;

  void screencapturePreparingForUploading(const ScreenCapture& screenCapture) override;
  void screencaptureStartedUploading(const ScreenCapture& screenCapture) override;
  void screencaptureUploadComplete(const ScreenCapture& screenCapture) override;
  void screencaptureUploadError(const ScreenCapture& screenCapture, const Error& error) override;
  void screencaptureUploadCancelled(const ScreenCapture& screenCapture) override;
  // Records the progress of an upload, unless the capture's state is already a final one
  // (uploaded, error, cancelled, not uploaded): such a report is late and is dropped, the
  // delegate is not told.
  void screencaptureProgressUpdated(const ScreenCapture& screenCapture, std::int64_t totalFileSize,
                                    double progress) override;
  void screencaptureDeleteS3Completed(const ScreenCapture& screenCapture) override;
  void screenCaptureRemoteStateUpdated(const ScreenCapture& screenCapture,
                                       bool existsOnServer) override;

  // The serial queue on which the saves run.
  const DispatchQueue& statesQueue() const { return statesQueue_; }

  // Blocks until every save asked for so far has run. Must not be called on `statesQueue()`.
  void waitUntilSaved() const;

 private:
  void updateState(const ScreenCapture& screenCapture, ShareState state,
                   const std::optional<Error>& error);
  void updateProgress(const ScreenCapture& screenCapture, std::int64_t totalFileSize,
                      double progress);
  // True for a state that ends an upload: no progress is recorded for it.
  static bool isFinal(ShareState state);
  // Asks for a save on `statesQueue_` unless one is already waiting.
  void scheduleSave();
  // Writes the current states to the file; failures are logged.
  void save();

  Injected<DirectoriesService> _directoriesService;
  OptionalInjected<GlobalAlertsService> _globalAlertsService;
  DispatchQueue statesQueue_;
  mutable Atomic<ShareStateModel::Set> _statesSet;
  mutable Atomic<ShareStateProgressModel::Set> _progressSet;
  Injected<LogService> _logService;
  Injected<LocalFilesService> _fileService;

  mutable SpinLock delegateLock_;
  std::weak_ptr<ShareStatesServiceDelegate> delegate_;  // guarded by delegateLock_

  // True from the moment a save is queued until it begins; updates meanwhile queue none.
  std::atomic<bool> savePending_{false};
  // Serialises the writers of the file (the queue's saves and `loadFromStorage`), so that the
  // last rename always carries the newest states.
  std::mutex fileMu_;
  // The last load could not read the file: saves leave it alone.
  bool fileNotRead_ = false;  // guarded by fileMu_
  // The last save failed (a full disk, say): the destructor saves again.
  bool lastSaveFailed_ = false;  // guarded by fileMu_
};

}  // namespace lumo
