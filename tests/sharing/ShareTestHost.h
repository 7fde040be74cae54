#pragma once

// What a host registers for the share service, for its tests: the library's implementations of
// every service it resolves, and host services that record what the library asks of them (log
// lines, alerts, notifications, the progress display, the capture states, the queue count),
// plus a thumbnail service that renders a screencast's first frame with ffmpeg. Also access
// to the reference service, files made by ffmpeg, and the X clipboard.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "lumo/capture/Screencast.h"
#include "lumo/platform/Clipboard.h"
#include "lumo/platform/HttpSession.h"
#include "lumo/platform/PlatformImage.h"
#include "lumo/sharing/EnvironmentHelperService.h"
#include "lumo/sharing/GlobalAlertsService.h"
#include "lumo/sharing/ProgressDisplay.h"
#include "lumo/sharing/ShareManager.h"
#include "lumo/sharing/ShareStatesManager.h"
#include "lumo/sharing/ShareStatesServiceDelegate.h"
#include "lumo/sharing/ThumbnailsService.h"
#include "lumo/sharing/UploadQueueDelegate.h"
#include "lumo/sharing/UserNotificationsService.h"
#include "lumo/support/Log.h"

namespace lumo::sharetest {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// Points the process's XDG folders at a private folder (the internal folder created, as a host
// does) and makes sure an X display is there for the clipboard: the one given in DISPLAY, or an
// Xvfb of the test's own. Runs once per process; returns the private folder.
const fs::path& prepareProcess();

// Runs a program with its output discarded; its exit status, or -1 when it could not run.
int run(const std::vector<std::string>& args);
// The text on the X clipboard, read with `xclip -o -selection clipboard`.
std::string readClipboard();

// A fresh folder ".../Documents" under the private folder, as captures live in.
fs::path makeDocumentsFolder();
// `size` bytes that differ from run to run, so that every file gets a new remote name.
Bytes randomBytes(std::size_t size);
void writeBytes(const fs::path& path, const Bytes& bytes);
Bytes readBytes(const fs::path& path);
// An image of a random colour made by ffmpeg; the extension picks the format (png, jpg, gif).
bool makeImage(const fs::path& path);
// A short MP4 video (`seconds` long) made by ffmpeg, different on every call.
bool makeVideo(const fs::path& path, int seconds);

// An HTTP exchange made by a test itself.
struct Reply {
  std::int64_t status = 0;
  std::vector<std::pair<std::string, std::string>> headers;
  Bytes body;
  std::optional<Error> error;

  std::optional<std::string> header(const std::string& name) const;
  nlohmann::json json() const;
  std::string text() const { return {body.begin(), body.end()}; }
};
Reply fetch(const std::string& method, const std::string& url,
            const std::optional<nlohmann::json>& body = std::nullopt);

// The reference service named by LUMO_API_BASE, LUMO_SHARE_BASE and LUMO_DEV_TOKEN.
class DevService {
 public:
  // The service when its variables are set and it answers; otherwise nullptr, and `whyNot`
  // says how to start it.
  static const DevService* get(std::string* whyNot);

  std::string apiBase, shareBase, token;
  // The tokens of the service's accounts by name ("dev", "small").
  std::map<std::string, std::string> tokens;

  Reply call(const std::string& method, const std::string& path,
             const std::optional<nlohmann::json>& body = std::nullopt) const;
  // Clears faults and the request log and restores the accounts.
  void reset() const;
  // Queues a fault (see the service's README); false when refused.
  bool fault(const nlohmann::json& fault) const;
  // Overrides profile values of the account with `token` until the next reset.
  bool overrideAccount(const std::string& token, nlohmann::json values) const;
};

// Debug lines and errors, recorded in order as well as printed.
class RecordingLog : public Log {
 public:
  using Log::debug;
  using Log::error;
  using Log::info;

  void debug(const std::string& message, bool showInReleaseMode) override;
  void error(const Error& error, const std::optional<LogInfo>& info, bool showInReleaseMode,
             bool sendToRollbar) override;

  std::vector<std::string> lines() const;
  // The recorded lines that start with `prefix`.
  std::vector<std::string> linesStartingWith(const std::string& prefix) const;
  std::vector<Error> errors() const;

 private:
  mutable std::mutex mu_;
  std::vector<std::string> lines_;  // guarded by mu_
  std::vector<Error> errors_;       // guarded by mu_
};

class RecordingAlerts : public GlobalAlertsService {
 public:
  void showAlert(const std::string& message) override;
  std::vector<std::string> messages() const;

 private:
  mutable std::mutex mu_;
  std::vector<std::string> messages_;  // guarded by mu_
};

struct Notification {
  UserNotificationKind kind;
  std::string detail;
  std::string path;  // the capture's relative path
  bool onMainThread = false;
};

class RecordingNotifications : public UserNotificationsService {
 public:
  void showNotification(const UserNotificationKind& kind, const std::string& detail,
                        const ScreenCapture& screenCapture) override;
  std::vector<Notification> notifications() const;

 private:
  mutable std::mutex mu_;
  std::vector<Notification> notifications_;  // guarded by mu_
};

class RecordingProgress : public ProgressDisplay {
 public:
  void updateProgress(double progress) override;
  std::vector<double> values() const;

 private:
  mutable std::mutex mu_;
  std::vector<double> values_;  // guarded by mu_
};

// Renders the first frame of the screencast with ffmpeg on a pool thread, as a desktop host
// would off its main thread. `answerNothing` makes it answer without an image; `hold` keeps the
// completion for the test to call.
class FfmpegThumbnails : public ThumbnailsService {
 public:
  void thumbnail(const Screencast& screencast,
                 std::function<void(std::optional<PlatformImage>)> completion) override;

  std::atomic<bool> answerNothing{false};
  std::atomic<bool> hold{false};
  // The completion kept while `hold` is set.
  std::function<void(std::optional<PlatformImage>)> takeHeld();

 private:
  std::mutex mu_;
  std::function<void(std::optional<PlatformImage>)> held_;  // guarded by mu_
};

// Every state and progress change the states store reports, by capture path.
class StatesObserver : public ShareStatesServiceDelegate {
 public:
  void screenCaptureStateChanged(const ScreenCapture& screenCapture, ShareState state) override;
  void screenCaptureProgressChanged(const ScreenCapture& screenCapture, std::int64_t totalFileSize,
                                    double progress) override;

  std::vector<ShareState> states(const std::string& path) const;
  std::size_t stateCount() const;
  std::size_t progressCount(const std::string& path) const;
  // The final states (uploaded, error, cancelled) reported for `path`.
  std::size_t finalCount(const std::string& path) const;
  // What the clipboard held when each path was reported "uploading".
  std::optional<std::string> clipboardAtStart(const std::string& path) const;

  // Reads the clipboard when a capture starts uploading.
  std::atomic<bool> readClipboardAtStart{false};
  // Called with every state change, on the reporting thread, after it was recorded.
  void setOnState(std::function<void(const std::string& path, ShareState state)> onState);

 private:
  mutable std::mutex mu_;
  std::function<void(const std::string&, ShareState)> onState_;  // guarded by mu_
  std::map<std::string, std::vector<ShareState>> states_;        // guarded by mu_
  std::map<std::string, std::size_t> progress_;                  // guarded by mu_
  std::map<std::string, std::string> clipboardAtStart_;          // guarded by mu_
  std::size_t stateCount_ = 0;                                   // guarded by mu_
};

class QueueObserver : public UploadQueueDelegate {
 public:
  void uploadQueue(UploadQueue& queue, std::int64_t operationCountChanged) override;
  std::vector<std::int64_t> counts() const;

 private:
  mutable std::mutex mu_;
  std::vector<std::int64_t> counts_;  // guarded by mu_
};

// The services of one test host, with the library's services made afresh.
struct Host {
  std::shared_ptr<RecordingLog> log;
  std::shared_ptr<RecordingAlerts> alerts;
  std::shared_ptr<RecordingNotifications> notifications;
  std::shared_ptr<RecordingProgress> progress;
  std::shared_ptr<FfmpegThumbnails> thumbnails;  // empty when not registered
  std::shared_ptr<StatesObserver> observer;
  std::shared_ptr<QueueObserver> queue;
  std::shared_ptr<ShareStatesManager> states;
  std::shared_ptr<ShareManager> manager;
};

struct HostOptions {
  bool thumbnails = true;
  // A clipboard of the test's own (kept in memory) instead of the X clipboard.
  Clipboard* clipboard = nullptr;
  std::optional<std::chrono::milliseconds> maximumIdleTimeout{};  // of the library's transfers
};

// Starts the container afresh and registers what a host registers; the states file starts
// empty. Signs in with `token` when given, signs out otherwise.
Host installHost(const HostOptions& options = {},
                 const std::optional<std::string>& token = std::nullopt);

// Drives the main queue until `done` or the timeout; the answer of `done`.
bool waitUntil(const std::function<bool()>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(60));

// Brings `host` to rest before the next one is installed: waits (up to `timeout`) for the share
// service's tasks to end, runs what they left on the main queue, then waits for the states
// store's last save (the next host's store cleans the folder).
void settle(const Host& host, std::chrono::milliseconds timeout = std::chrono::seconds(60));

}  // namespace lumo::sharetest
