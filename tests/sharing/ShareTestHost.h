#pragma once

// A host of the share service for tests: the library's services as a host registers them, the
// lumo host's thumbnailer and the recorders of tests/common; also videos made by ffmpeg and the
// X clipboard.

#include <algorithm>
#include <random>

#include "../common/TestFiles.h"
#include "DevService.h"
#include "FfmpegThumbnails.h"
#include "Recorders.h"
#include "lumo/account/ProfileUpdater.h"
#include "lumo/account/UserAccountStore.h"
#include "lumo/api/APISettings.h"
#include "lumo/capture/ScreenCaptureHelper.h"
#include "lumo/registry/Resolver.h"
#include "lumo/sharing/PasteboardManager.h"
#include "lumo/sharing/ShareManager.h"
#include "lumo/sharing/ShareStatesManager.h"
#include "lumo/sharing/ShareURLHelper.h"
#include "lumo/sharing/UploadQueueDelegate.h"
#include "lumo/storage/DirectoriesManager.h"
#include "lumo/storage/LocalFilesManager.h"

namespace lumo::sharetest {

using namespace lumo::test;
namespace fs = std::filesystem;

// A private folder for the process's XDG folders, its internal folder made as a host does.
inline const fs::path& prepareProcess() {
  static const fs::path folder = [] {
    const fs::path made = makeTempDir("lumo-share");
    for (const auto& [variable, name] : {std::pair{"XDG_CONFIG_HOME", "config"},
                                         {"XDG_DATA_HOME", "data"},
                                         {"XDG_CACHE_HOME", "cache"},
                                         {"XDG_PICTURES_DIR", "pictures"}}) {
      ::setenv(variable, (made / name).c_str(), 1);
    }
    ::unsetenv("WAYLAND_DISPLAY");
    fs::create_directories(made / "data/lumo");
    if (auto* dev = DevService::get(nullptr))
      APISettings::setServiceAddresses({dev->apiBase, dev->shareBase});
    return made;
  }();
  return folder;
}

// A fresh ".../Documents", as captures live in.
inline fs::path makeDocumentsFolder() {
  static std::atomic<int> counter{0};
  const fs::path folder = prepareProcess() / std::to_string(++counter) / "Documents";
  fs::create_directories(folder);
  return folder;
}

// Bytes that differ from run to run, so that every file gets a new remote name.
inline Bytes randomBytes(std::size_t size) {
  thread_local std::mt19937_64 generator{std::random_device{}()};
  Bytes bytes(size);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(generator());
  return bytes;
}

inline void writeBytes(const fs::path& path, const Bytes& bytes) {
  testing_files::writeFile(path, std::string(bytes.begin(), bytes.end()));
}

inline Bytes readBytes(const fs::path& path) {
  const std::string text = testing_files::readFile(path);
  return Bytes(text.begin(), text.end());
}

// A 320x240 MP4 of `seconds`, different on every call.
inline bool makeVideo(const fs::path& path, int seconds) {
  return std::system(("ffmpeg -v error -y -f lavfi -i testsrc=duration=" + std::to_string(seconds) +
                      ":size=320x240:rate=10 -pix_fmt yuv420p -c:v mpeg4 -metadata title=" +
                      std::to_string(std::random_device{}()) + " '" + path.string() +
                      "' </dev/null >/dev/null 2>&1")
                         .c_str()) == 0;
}

inline std::string readClipboard() {
  std::string text;
  if (FILE* pipe = ::popen("xclip -o -selection clipboard 2>/dev/null", "r")) {
    for (int c; (c = std::fgetc(pipe)) != EOF;) text += static_cast<char>(c);
    ::pclose(pipe);
  }
  return text;
}

// The lumo host's thumbnailer; while `hold` is set it keeps the completions for the test.
class Thumbnails : public cli::FfmpegThumbnails {
 public:
  void thumbnail(const Screencast& screencast,
                 std::function<void(std::optional<PlatformImage>)> completion) override {
    hold ? held.add(std::move(completion))
         : FfmpegThumbnails::thumbnail(screencast, std::move(completion));
  }
  std::atomic<bool> hold{false};
  Record<std::function<void(std::optional<PlatformImage>)>> held;
};

// Every state and progress change the states store reports, by capture path.
class StatesObserver : public ShareStatesServiceDelegate {
 public:
  struct Change {
    std::string path;
    ShareState state;
    std::string clipboard;  // when it started uploading and readClipboardAtStart was set
  };
  void screenCaptureStateChanged(const ScreenCapture& capture, ShareState state) override {
    const std::string path = relativeScreenCapturePath(capture.fileURL());
    changes.add({path, state,
                 state == ShareState::uploading && readClipboardAtStart ? readClipboard() : ""});
    std::unique_lock lock(mu_);
    if (auto onState = onState_) {
      lock.unlock();
      onState(path, state);
    }
  }
  void screenCaptureProgressChanged(const ScreenCapture& capture, std::int64_t, double) override {
    progress.add(relativeScreenCapturePath(capture.fileURL()));
  }
  std::vector<ShareState> states(const std::string& path) const {
    std::vector<ShareState> out;
    for (const auto& change : changes())
      if (change.path == path) out.push_back(change.state);
    return out;
  }
  std::size_t progressCount(const std::string& path) const {
    return std::ranges::count(progress(), path);
  }
  // The final states (uploaded, error, cancelled) reported for `path`.
  std::size_t finalCount(const std::string& path) const {
    return std::ranges::count_if(states(path), [](ShareState s) {
      return s == ShareState::uploaded || s == ShareState::error || s == ShareState::cancelled;
    });
  }
  // Called on the reporting thread with every change, after it was recorded.
  void setOnState(std::function<void(const std::string& path, ShareState state)> onState) {
    std::lock_guard lock(mu_);
    onState_ = std::move(onState);
  }

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

// `thumbnails` is empty when not registered.
struct Host {
  std::shared_ptr<RecordingLog> log;  // made with the host: a log needs the environment
  std::shared_ptr<RecordingAlerts> alerts = std::make_shared<RecordingAlerts>();
  std::shared_ptr<RecordingNotifications> notifications =
      std::make_shared<RecordingNotifications>();
  std::shared_ptr<RecordingProgress> progress = std::make_shared<RecordingProgress>();
  std::shared_ptr<Thumbnails> thumbnails;
  std::shared_ptr<StatesObserver> observer = std::make_shared<StatesObserver>();
  std::shared_ptr<QueueObserver> queue = std::make_shared<QueueObserver>();
  std::shared_ptr<ShareStatesManager> states;
  std::shared_ptr<ShareManager> manager;
};

struct HostOptions {
  bool thumbnails = true;
  Clipboard* clipboard = nullptr;                                 // the X clipboard when empty
  std::optional<std::chrono::milliseconds> maximumIdleTimeout{};  // of the library's transfers
};

// Registers `Impl` as the application's one `Service`.
template <class Service, class Impl>
void registerOne() {
  Resolver::registerInMain<Service>([] {
    return std::make_shared<Impl>();
  }).scope(Resolver::application());
}

// Starts the container afresh with what a host registers and an empty states file; signs in
// with `token`, out without.
inline Host installHost(const HostOptions& options = {},
                        const std::optional<std::string>& token = std::nullopt) {
  prepareProcess();
  Resolver::reset();
  auto environment = std::make_shared<TestEnvironment>();
  Resolver::registerInMain<EnvironmentHelperService>([environment] { return environment; });
  Host host;
  host.log = std::make_shared<RecordingLog>();
  if (options.thumbnails) host.thumbnails = std::make_shared<Thumbnails>();
  Resolver::registerInMain<LogService>([log = host.log] { return log; });
  Resolver::registerInMain<GlobalAlertsService>([alerts = host.alerts] { return alerts; });
  Resolver::registerInMain<UserNotificationsService>([n = host.notifications] { return n; });
  Resolver::registerInMain<ProgressDisplay>([progress = host.progress] { return progress; });
  if (auto thumbnails = host.thumbnails) {
    Resolver::registerInMain<ThumbnailsService>([thumbnails] { return thumbnails; });
  }
  registerOne<DirectoriesService, DirectoriesManager>();
  registerOne<LocalFilesService, LocalFilesManager>();
  registerOne<UserAccountStoreService, UserAccountStore>();
  registerOne<ProfileUpdateService, ProfileUpdater>();
  registerOne<APISettingsService, APISettings>();
  registerOne<ShareURLHelperService, ShareURLHelper>();
  registerOne<ScreenCaptureHelperService, ScreenCaptureHelper>();
  registerOne<ShareStatesService, ShareStatesManager>();
  registerOne<ShareService, ShareManager>();
  Resolver::registerInMain<HttpSessionConfiguration>([limit = options.maximumIdleTimeout] {
    return HttpSessionConfiguration{.maximumIdleTimeout = limit, .httpAdditionalHeaders = {}};
  });
  Resolver::registerInMain<PasteboardService>([clipboard = options.clipboard] {
    return clipboard ? std::make_shared<PasteboardManager>(*clipboard)
                     : std::make_shared<PasteboardManager>();
  });
  auto account = Resolver::resolveFromRoot<UserAccountStoreService>();
  token ? account->login(*token) : account->logout();
  fs::remove(prepareProcess() / "data/lumo" / ShareStatesManager::kStatesFileName);
  host.states = std::dynamic_pointer_cast<ShareStatesManager>(
      Resolver::resolveFromRoot<ShareStatesService>());
  host.states->setDelegate(host.observer);
  host.manager = std::dynamic_pointer_cast<ShareManager>(Resolver::resolveFromRoot<ShareService>());
  host.manager->setUploadQueueDelegate(host.queue);
  return host;
}

// Drives the main queue until `done` or the timeout; the answer of `done`.
inline bool waitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
  return MainQueue::runUntil(done, timeout);
}

// Waits for the host's tasks to end, runs what they left on the main queue and waits for the
// last save, before the next host's store cleans the folder.
inline void settle(const Host& host, std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
  waitUntil([&] { return host.manager->currentTasks().empty(); }, timeout);
  MainQueue::drain();
  host.states->waitUntilSaved();
}

}  // namespace lumo::sharetest
