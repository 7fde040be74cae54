#include "lumo/sharing/ShareStatesManager.h"

#include <cerrno>
#include <utility>

#include "ShareStatesFile.h"
#include "lumo/capture/ScreenCaptureUrl.h"
#include "lumo/platform/FileManager.h"

namespace lumo {

namespace {

// The states file inside the internal folder.
Result<Url> statesFileURL(DirectoriesService& directories) {
  auto folder = directories.lumoInternalDirectory();
  if (!folder) return folder.error();
  Url url = folder->appendingPathComponent(ShareStatesManager::kStatesFileName);
  if (!url.isFileURL()) {
    return Error(FileError{
        EINVAL, {}, "The internal folder is not a local folder: " + folder->absoluteString()});
  }
  return url;
}

}  // namespace

ShareStatesManager::ShareStatesManager()
    : statesQueue_("lumo.ShareStatesServiceQueue"),
      _statesSet(ShareStateModel::Set{}, "lumo.share-states.statesSetQueue"),
      _progressSet(ShareStateProgressModel::Set{}, "lumo.share-states.progressSetQueue") {
  // Qualified: a constructor cannot reach an override, and the call should say so.
  ShareStatesManager::loadFromStorage();
}

ShareStatesManager::~ShareStatesManager() {
  // A save still waiting in the queue will find the store gone; write its states now.
  if (savePending_.load()) save();
}

std::shared_ptr<ShareStatesServiceDelegate> ShareStatesManager::delegate() const {
  std::lock_guard guard(delegateLock_);
  return delegate_.lock();
}

void ShareStatesManager::setDelegate(std::weak_ptr<ShareStatesServiceDelegate> delegate) {
  std::lock_guard guard(delegateLock_);
  delegate_ = std::move(delegate);
}

// MARK: Reports of the share service

void ShareStatesManager::screencapturePreparingForUploading(const ScreenCapture& screenCapture) {
  updateState(screenCapture, ShareState::preparingForUploading, std::nullopt);
}

void ShareStatesManager::screencaptureStartedUploading(const ScreenCapture& screenCapture) {
  updateState(screenCapture, ShareState::uploading, std::nullopt);
}

void ShareStatesManager::screencaptureUploadComplete(const ScreenCapture& screenCapture) {
  updateState(screenCapture, ShareState::uploaded, std::nullopt);
}

void ShareStatesManager::screencaptureUploadError(const ScreenCapture& screenCapture,
                                                  const Error& error) {
  updateState(screenCapture, ShareState::error, error);
}

void ShareStatesManager::screencaptureUploadCancelled(const ScreenCapture& screenCapture) {
  updateState(screenCapture, ShareState::cancelled, std::nullopt);
}

void ShareStatesManager::screencaptureProgressUpdated(const ScreenCapture& screenCapture,
                                                      std::int64_t totalFileSize, double progress) {
  updateProgress(screenCapture, totalFileSize, progress);
}

void ShareStatesManager::screencaptureDeleteS3Completed(const ScreenCapture& screenCapture) {
  updateState(screenCapture, ShareState::notUploaded, std::nullopt);
}

void ShareStatesManager::screenCaptureRemoteStateUpdated(const ScreenCapture& screenCapture,
                                                         bool existsOnServer) {
  updateState(screenCapture, existsOnServer ? ShareState::uploaded : ShareState::notUploaded,
              std::nullopt);
}

// MARK: Updates and queries

void ShareStatesManager::updateState(const ScreenCapture& screenCapture, ShareState state,
                                     const std::optional<Error>& error) {
  const ShareStateModel model{relativeScreenCapturePath(screenCapture.fileURL()), state};
  _statesSet.mutate([&](ShareStateModel::Set& states) {
    if (auto it = states.find(model); it != states.end()) {
      // The node is reused: no allocation for a capture already known.
      auto node = states.extract(it);
      node.value().state = state;
      states.insert(std::move(node));
    } else {
      states.insert(model);
    }
  });
  // The progress of an upload lasts until any other state is recorded.
  if (state != ShareState::uploading) {
    const auto key = ShareStateProgressModel::emptyShareState(model.id);
    _progressSet.mutate([&](ShareStateProgressModel::Set& progress) { progress.erase(key); });
  }
  if (error && _globalAlertsService) {
    DispatchQueue::main().async([weak = weak_from_this(), message = error->localizedDescription()] {
      auto self = weak.lock();
      if (self && self->_globalAlertsService) self->_globalAlertsService->showAlert(message);
    });
  }
  if (auto observer = delegate()) observer->screenCaptureStateChanged(screenCapture, state);
  scheduleSave();
}

void ShareStatesManager::updateProgress(const ScreenCapture& screenCapture,
                                        std::int64_t totalFileSize, double progress) {
  ShareStateProgressModel entry{relativeScreenCapturePath(screenCapture.fileURL()),
                                ProgressModel{totalFileSize, progress}};
  _progressSet.mutate([&](ShareStateProgressModel::Set& entries) {
    if (auto it = entries.find(entry); it != entries.end()) {
      auto node = entries.extract(it);
      node.value().progress = entry.progress;
      entries.insert(std::move(node));
    } else {
      entries.insert(std::move(entry));
    }
  });
  if (auto observer = delegate()) {
    observer->screenCaptureProgressChanged(screenCapture, totalFileSize, progress);
  }
}

ShareState ShareStatesManager::getState(const ScreenCapture& screenCapture) const {
  const ShareStateModel key{relativeScreenCapturePath(screenCapture.fileURL()),
                            ShareState::unknown};
  ShareState state = ShareState::unknown;
  // Looked up in place: a copy of every state per query would cost more than the answer.
  _statesSet.mutate([&](const ShareStateModel::Set& states) {
    if (auto it = states.find(key); it != states.end()) state = it->state;
  });
  return state;
}

std::optional<ProgressModel> ShareStatesManager::getProgress(
    const ScreenCapture& screenCapture) const {
  const auto key =
      ShareStateProgressModel::emptyShareState(relativeScreenCapturePath(screenCapture.fileURL()));
  std::optional<ProgressModel> progress;
  _progressSet.mutate([&](const ShareStateProgressModel::Set& entries) {
    if (auto it = entries.find(key); it != entries.end()) progress = it->progress;
  });
  return progress;
}

// MARK: The states file

void ShareStatesManager::scheduleSave() {
  // One waiting save is enough: it writes the states current when it runs.
  if (savePending_.exchange(true)) return;
  statesQueue_.async([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->save();
  });
}

void ShareStatesManager::save() {
  std::lock_guard guard(fileMu_);
  // Cleared before the states are read: an update that comes after the read finds no save
  // waiting and asks for its own.
  savePending_.store(false);
  auto url = statesFileURL(*_directoriesService);
  if (!url) {
    _logService->error(url.error());
    return;
  }
  // The file may hold states this store never saw: it is not saved over until it is read.
  if (fileNotRead_) return;
  const ShareStateModel::Set states = _statesSet.wrappedValue();
  if (auto written = ShareStatesFile(url->filePath()).write(states); !written) {
    _logService->error(written.error());
  }
}

void ShareStatesManager::waitUntilSaved() const {
  statesQueue_.sync([] {});
}

void ShareStatesManager::loadFromStorage() {
  auto url = statesFileURL(*_directoriesService);
  if (!url) {
    _logService->error(url.error());
    return;
  }
  const ShareStatesFile file(url->filePath());
  {
    std::lock_guard guard(fileMu_);
    file.removeLeftovers();
  }
  // Saves are refused while the file holds content this store could not read.
  auto refuseSaves = [this](bool refuse) {
    std::lock_guard guard(fileMu_);
    fileNotRead_ = refuse;
  };
  if (!_fileService->fileExists(*url)) {
    refuseSaves(false);
    save();
    return;
  }
  auto loaded = file.read();
  if (!loaded && ShareStatesFile::contentWasNotRead(loaded.error())) {
    _logService->error(loaded.error());
    _logService->debug("States file could not be read. It is kept, and not saved until it is read");
    refuseSaves(true);
    return;
  }
  refuseSaves(false);
  if (loaded) {
    ShareStateModel::Set states;
    states.reserve(loaded->size());
    for (const ShareStateModel& model : *loaded) {
      // An upload does not survive a restart.
      states.insert(ShareStateModel{
          model.id, model.state == ShareState::uploading ? ShareState::error : model.state});
    }
    _statesSet.setWrappedValue(std::move(states));
    return;
  }
  _logService->error(loaded.error());
  _logService->debug("States file is incorrect. Trying delete it and save a new one...");
  if (!_fileService->deleteFile(*url)) {
    _logService->debug("Can't delete invalid states file");
    return;
  }
  save();
}

}  // namespace lumo
