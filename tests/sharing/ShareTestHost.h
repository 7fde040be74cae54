#pragma once

// A host of the share service for tests: the library's services as a host registers them, the
// lumo host's thumbnailer, and recorders of what the library tells the host. Also files made by
// ffmpeg, the X clipboard and the reference service.

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>

#include "FfmpegThumbnails.h"
#include "lumo/platform/Clipboard.h"
#include "lumo/sharing/GlobalAlertsService.h"
#include "lumo/sharing/ProgressDisplay.h"
#include "lumo/sharing/ShareManager.h"
#include "lumo/sharing/ShareStatesManager.h"
#include "lumo/sharing/UploadQueueDelegate.h"
#include "lumo/sharing/UserNotificationsService.h"
#include "lumo/support/Log.h"

namespace lumo::sharetest {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// A private folder for the process's XDG folders (its internal folder made, as a host does).
const fs::path& prepareProcess();
// The text on the X clipboard (`xclip -o`).
std::string readClipboard();
// A fresh ".../Documents" folder, as captures live in.
fs::path makeDocumentsFolder();
// `size` bytes that differ from run to run, so that every file gets a new remote name.
Bytes randomBytes(std::size_t size);
void writeBytes(const fs::path& path, const Bytes& bytes);
Bytes readBytes(const fs::path& path);
// An image of a random colour (format by extension), and a 320x240 MP4 of `seconds`.
bool makeImage(const fs::path& path);
bool makeVideo(const fs::path& path, int seconds);

struct Reply {
  std::int64_t status = 0;
  std::vector<std::pair<std::string, std::string>> headers;
  Bytes body;
  std::optional<Error> error;

  std::optional<std::string> header(const std::string& name) const;
  nlohmann::json json() const { return nlohmann::json::parse(body, nullptr, false); }
  std::string text() const { return {body.begin(), body.end()}; }
};
Reply fetch(const std::string& method, const std::string& url,
            const std::optional<nlohmann::json>& body = std::nullopt);

// The reference service named by LUMO_API_BASE, LUMO_SHARE_BASE and LUMO_DEV_TOKEN.
class DevService {
 public:
  // nullptr, with `whyNot` saying how to start it, when it does not answer.
  static const DevService* get(std::string* whyNot);
  std::string apiBase, shareBase, token;
  std::map<std::string, std::string> tokens;  // of its accounts by name ("dev", "small")

  Reply call(const std::string& method, const std::string& path,
             const std::optional<nlohmann::json>& body = std::nullopt) const;
  void reset() const;  // faults, request log and accounts
  bool fault(const nlohmann::json& fault) const;
};

template <class T>
class Recorded {
 public:
  std::vector<T> all() const {
    std::lock_guard lock(mu_);
    return items_;
  }
  void add(T item) {
    std::lock_guard lock(mu_);
    items_.push_back(std::move(item));
  }

 private:
  mutable std::mutex mu_;
  std::vector<T> items_;  // guarded by mu_
};

class RecordingLog : public Log, public Recorded<std::string> {
 public:
  using Log::debug;
  using Log::error;
  void debug(const std::string& message, bool showInReleaseMode) override;
  void error(const Error& error, const std::optional<LogInfo>& info, bool showInReleaseMode,
             bool sendToRollbar) override;
  std::vector<std::string> lines() const { return all(); }
  std::vector<std::string> linesStartingWith(const std::string& prefix) const;
  std::vector<Error> errors() const;

 private:
  Recorded<Error> errors_;
};

class RecordingAlerts : public GlobalAlertsService, public Recorded<std::string> {
 public:
  void showAlert(const std::string& message) override { add(message); }
  std::vector<std::string> messages() const { return all(); }
};

struct Notification {
  UserNotificationKind kind;
  std::string path;  // the capture's, below Documents
  bool onMainThread = false;
};

class RecordingNotifications : public UserNotificationsService, public Recorded<Notification> {
 public:
  void showNotification(const UserNotificationKind& kind, const std::string& detail,
                        const ScreenCapture& screenCapture) override;
  std::vector<Notification> notifications() const { return all(); }
};

class RecordingProgress : public ProgressDisplay, public Recorded<double> {
 public:
  void updateProgress(double progress) override { add(progress); }
  std::vector<double> values() const { return all(); }
};

// The lumo host's thumbnailer; `hold` keeps the completion for the test to call.
class Thumbnails : public cli::FfmpegThumbnails {
 public:
  using Completion = std::function<void(std::optional<PlatformImage>)>;
  void thumbnail(const Screencast& screencast, Completion completion) override;
  Completion takeHeld();
  std::atomic<bool> hold{false};

 private:
  std::mutex mu_;
  Completion held_;  // guarded by mu_
};

// Every state and progress change the states store reports, by capture path.
class StatesObserver : public ShareStatesServiceDelegate {
 public:
  void screenCaptureStateChanged(const ScreenCapture& capture, ShareState state) override;
  void screenCaptureProgressChanged(const ScreenCapture& capture, std::int64_t, double) override;

  std::vector<ShareState> states(const std::string& path) const;
  std::size_t stateCount() const;
  std::size_t progressCount(const std::string& path) const;
  std::size_t finalCount(const std::string& path) const;  // uploaded, error and cancelled
  // What the clipboard held when `path` was first reported uploading.
  std::optional<std::string> clipboardAtStart(const std::string& path) const;

  std::atomic<bool> readClipboardAtStart{false};
  // Called with every state change on the reporting thread, after it was recorded.
  void setOnState(std::function<void(const std::string& path, ShareState state)> onState);

 private:
  mutable std::mutex mu_;
  std::function<void(const std::string&, ShareState)> onState_;  // guarded by mu_
  std::map<std::string, std::vector<ShareState>> states_;        // guarded by mu_
  std::map<std::string, std::size_t> progress_;                  // guarded by mu_
  std::map<std::string, std::string> clipboardAtStart_;          // guarded by mu_
};

class QueueObserver : public UploadQueueDelegate, public Recorded<std::int64_t> {
 public:
  void uploadQueue(UploadQueue&, std::int64_t count) override { add(count); }
  std::vector<std::int64_t> counts() const { return all(); }
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
