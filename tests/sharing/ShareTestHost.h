#pragma once

// A host of the share service for tests: the library's services as a host registers them, the
// lumo host's thumbnailer and the recorders of tests/common. Also files made by ffmpeg and the
// X clipboard.

#include <chrono>
#include <filesystem>
#include <functional>

#include "DevService.h"
#include "FfmpegThumbnails.h"
#include "Recorders.h"
#include "lumo/platform/Clipboard.h"
#include "lumo/sharing/ShareManager.h"
#include "lumo/sharing/ShareStatesManager.h"
#include "lumo/sharing/UploadQueueDelegate.h"

namespace lumo::sharetest {

using namespace lumo::test;
namespace fs = std::filesystem;

// A private folder for the process's XDG folders, its internal folder made as a host does.
const fs::path& prepareProcess();
std::string readClipboard();
fs::path makeDocumentsFolder();  // a fresh ".../Documents", as captures live in
// Bytes that differ from run to run, so that every file gets a new remote name.
Bytes randomBytes(std::size_t size);
void writeBytes(const fs::path& path, const Bytes& bytes);
Bytes readBytes(const fs::path& path);
// An image of a random colour (its format by extension), and a 320x240 MP4 of `seconds`.
bool makeImage(const fs::path& path);
bool makeVideo(const fs::path& path, int seconds);
inline Reply fetch(const std::string& method, const std::string& url) {
  return DevService::get(nullptr)->call(method, url);
}

// The lumo host's thumbnailer; while `hold` is set it keeps the completion for the test.
class Thumbnails : public cli::FfmpegThumbnails {
 public:
  void thumbnail(const Screencast& screencast,
                 std::function<void(std::optional<PlatformImage>)> completion) override;
  std::atomic<bool> hold{false};
  Record<std::function<void(std::optional<PlatformImage>)>> held;
};

// Every state and progress change the states store reports, by capture path.
class StatesObserver : public ShareStatesServiceDelegate {
 public:
  void screenCaptureStateChanged(const ScreenCapture& capture, ShareState state) override;
  void screenCaptureProgressChanged(const ScreenCapture& capture, std::int64_t, double) override {
    progress.add(relativeScreenCapturePath(capture.fileURL()));
  }
  std::vector<ShareState> states(const std::string& path) const;
  std::size_t stateCount() const { return changes().size(); }
  std::size_t progressCount(const std::string& path) const;
  std::size_t finalCount(const std::string& path) const;  // uploaded, error and cancelled
  // Called on the reporting thread with every change, after it was recorded.
  void setOnState(std::function<void(const std::string& path, ShareState state)> onState);

  struct Change {
    std::string path;
    ShareState state;
    std::string clipboard;  // when it started uploading and readClipboardAtStart was set
  };
  Record<Change> changes;
  Record<std::string> progress;
  std::atomic<bool> readClipboardAtStart{false};

 private:
  std::mutex mu_;
  std::function<void(const std::string&, ShareState)> onState_;  // guarded by mu_
};

class QueueObserver : public UploadQueueDelegate {
 public:
  void uploadQueue(UploadQueue&, std::int64_t count) override { counts.add(count); }
  Record<std::int64_t> counts;
};

struct Host {
  std::shared_ptr<RecordingLog> log;
  std::shared_ptr<RecordingAlerts> alerts;
  std::shared_ptr<RecordingNotifications> notifications;
  std::shared_ptr<RecordingProgress> progress;
  std::shared_ptr<Thumbnails> thumbnails;  // empty when not registered
  std::shared_ptr<StatesObserver> observer;
  std::shared_ptr<QueueObserver> queue;
  std::shared_ptr<ShareStatesManager> states;
  std::shared_ptr<ShareManager> manager;
};

struct HostOptions {
  bool thumbnails = true;
  Clipboard* clipboard = nullptr;                                 // the X clipboard when empty
  std::optional<std::chrono::milliseconds> maximumIdleTimeout{};  // of the library's transfers
};

// Starts the container afresh with what a host registers and an empty states file; signs in
// with `token`, out without.
Host installHost(const HostOptions& options = {},
                 const std::optional<std::string>& token = std::nullopt);

// Drives the main queue until `done` or the timeout; the answer of `done`.
bool waitUntil(const std::function<bool()>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(60));

// Waits for the host's tasks to end, runs what they left on the main queue and waits for the
// last save, before the next host's store cleans the folder.
void settle(const Host& host, std::chrono::milliseconds timeout = std::chrono::seconds(60));

}  // namespace lumo::sharetest
