#include "lumo/sharing/ShareStatesManager.h"

#include <cerrno>
#include <iterator>
#include <utility>
#include <vector>

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

// The length of the valid UTF-8 sequence that starts at `i`, or 0 when none does (a stray or
// overlong byte, a surrogate, a code point above U+10FFFF, a sequence cut short).
std::size_t utf8SequenceAt(const std::string& text, std::size_t i) {
  const auto byte = [&text](std::size_t at) { return static_cast<unsigned char>(text[at]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  if (byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  }
  return length;
}

// A capture's id in the states file, which is JSON and so holds only valid UTF-8. A path that is
// valid UTF-8 is its own id, as it always was. In any other path each byte outside a valid
// sequence is written as %XX and each '%' as %25: names that differ only in such bytes keep
// entries of their own instead of collapsing to one U+FFFD.
std::string stateId(const Url& fileURL) {
  std::string path = relativeScreenCapturePath(fileURL);
  bool valid = true;
  for (std::size_t i = 0, n = 0; valid && i < path.size(); i += n) {
    n = utf8SequenceAt(path, i);
    valid = n > 0;
  }
  if (valid) return path;
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string id;
  for (std::size_t i = 0; i < path.size();) {
    const std::size_t n = utf8SequenceAt(path, i);
    if (n > 0 && path[i] != '%') {
      id.append(path, i, n);
      i += n;
      continue;
    }
    const auto byte = static_cast<unsigned char>(path[i++]);
    id += '%';
    id += kHex[byte >> 4];
    id += kHex[byte & 0xF];
  }
  return id;
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
  // A save still waiting in the queue will find the store gone, and one that failed (a full
  // disk) has states the file lacks: write them now.
  const bool unsaved = [this] {
    std::lock_guard guard(fileMu_);
    return lastSaveFailed_;
  }();
  if (savePending_.load() || unsaved) save();
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

bool ShareStatesManager::isFinal(ShareState state) {
  switch (state) {
    case ShareState::preparingForUploading:
    case ShareState::uploading:
    case ShareState::unknown:
      return false;
    case ShareState::error:
    case ShareState::uploaded:
    case ShareState::cancelled:
    case ShareState::notUploaded:
      return true;
  }
  return false;
}

void ShareStatesManager::updateState(const ScreenCapture& screenCapture, ShareState state,
                                     const std::optional<Error>& error) {
  const ShareStateModel model{stateId(screenCapture.fileURL()), state};
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
  ShareStateProgressModel entry{stateId(screenCapture.fileURL()),
                                ProgressModel{totalFileSize, progress}};
  const ShareStateModel key{entry.id, ShareState::unknown};
  bool ended = false;
  _progressSet.mutate([&](ShareStateProgressModel::Set& entries) {
    // A report that raced the upload's last state (they arrive on different threads) comes
    // after the capture was uploaded, failed or was cancelled: its progress is over, and
    // recording it would show an upload that is not happening. The state is read while the
    // progress is held, so that a final state recorded now erases what is inserted here.
    _statesSet.mutate([&](const ShareStateModel::Set& states) {
      if (auto it = states.find(key); it != states.end()) ended = isFinal(it->state);
    });
    if (ended) return;
    if (auto it = entries.find(entry); it != entries.end()) {
      auto node = entries.extract(it);
      node.value().progress = entry.progress;
      entries.insert(std::move(node));
    } else {
      entries.insert(std::move(entry));
    }
  });
  if (ended) return;
  if (auto observer = delegate()) {
    observer->screenCaptureProgressChanged(screenCapture, totalFileSize, progress);
  }
}

ShareState ShareStatesManager::getState(const ScreenCapture& screenCapture) const {
  const ShareStateModel key{stateId(screenCapture.fileURL()), ShareState::unknown};
  ShareState state = ShareState::unknown;
  // Looked up in place: a copy of every state per query would cost more than the answer.
  _statesSet.mutate([&](const ShareStateModel::Set& states) {
    if (auto it = states.find(key); it != states.end()) state = it->state;
  });
  return state;
}

std::optional<ProgressModel> ShareStatesManager::getProgress(
    const ScreenCapture& screenCapture) const {
  const auto key = ShareStateProgressModel::emptyShareState(stateId(screenCapture.fileURL()));
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
  auto written = ShareStatesFile(url->filePath()).write(states);
  // The file keeps its earlier content; the next save, or the store's end, writes all again.
  lastSaveFailed_ = !written;
  if (!written) _logService->error(written.error());
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
  const bool recordedUnsaved = [this] {
    std::lock_guard guard(fileMu_);
    return fileNotRead_;
  }();
  refuseSaves(false);
  if (loaded) {
    ShareStateModel::Set& states = *loaded;
    // An upload does not survive a restart. The entries are changed in place: a copy of a large
    // file's states would cost as much as reading them.
    std::vector<ShareStateModel::Set::node_type> uploads;
    for (auto it = states.begin(); it != states.end();) {
      const auto next = std::next(it);
      if (it->state == ShareState::uploading) uploads.push_back(states.extract(it));
      it = next;
    }
    for (auto& node : uploads) {
      node.value().state = ShareState::error;
      states.insert(std::move(node));
    }
    if (!recordedUnsaved) {
      _statesSet.setWrappedValue(std::move(states));
      return;
    }
    // The states recorded while the file could not be read are newer than the file's: they
    // stay, the file's others join them, and the file gets both at once.
    _statesSet.mutate([&states](ShareStateModel::Set& current) { current.merge(states); });
    save();
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
