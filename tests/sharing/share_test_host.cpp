#include <algorithm>
#include <fstream>
#include <random>

#include "ShareTestHost.h"
#include "lumo/account/ProfileUpdater.h"
#include "lumo/account/UserAccountStore.h"
#include "lumo/api/APISettings.h"
#include "lumo/capture/ScreenCaptureHelper.h"
#include "lumo/registry/Resolver.h"
#include "lumo/sharing/PasteboardManager.h"
#include "lumo/sharing/ShareURLHelper.h"
#include "lumo/storage/DirectoriesManager.h"
#include "lumo/storage/LocalFilesManager.h"

namespace lumo::sharetest {
namespace {

bool ffmpeg(const std::string& input, const std::string& options, const fs::path& out) {
  const std::string command = "ffmpeg -v error -y -f lavfi -i " + input + " " + options + " '" +
                              out.string() + "' </dev/null >/dev/null 2>&1";
  return std::system(command.c_str()) == 0 && fs::exists(out);
}

// Registers `Impl` as the application's one `Service`.
template <class Service, class Impl>
void registerOne() {
  Resolver::registerInMain<Service>([] {
    return std::make_shared<Impl>();
  }).scope(Resolver::application());
}

}  // namespace

const fs::path& prepareProcess() {
  static const fs::path folder = [] {
    const fs::path made = makeTempDir("lumo-share");
    for (const auto& [variable, name] : {std::pair{"XDG_CONFIG_HOME", "config"},
                                         {"XDG_DATA_HOME", "data"},
                                         {"XDG_CACHE_HOME", "cache"},
                                         {"XDG_PICTURES_DIR", "pictures"}}) {
      ::setenv(variable, (made / name).c_str(), 1);
    }
    ::unsetenv("WAYLAND_DISPLAY");
    fs::create_directories(made / "data" / "lumo");
    if (const DevService* service = DevService::get(nullptr)) {
      APISettings::setServiceAddresses({service->apiBase, service->shareBase});
    }
    return made;
  }();
  return folder;
}

std::string readClipboard() {
  std::string text;
  if (FILE* pipe = ::popen("xclip -o -selection clipboard 2>/dev/null", "r")) {
    for (int c; (c = std::fgetc(pipe)) != EOF;) text += static_cast<char>(c);
    ::pclose(pipe);
  }
  return text;
}

fs::path makeDocumentsFolder() {
  static std::atomic<int> counter{0};
  const fs::path folder = prepareProcess() / std::to_string(++counter) / "Documents";
  fs::create_directories(folder);
  return folder;
}

Bytes randomBytes(std::size_t size) {
  static std::mutex mu;
  static std::mt19937_64 generator{std::random_device{}()};
  std::lock_guard lock(mu);
  Bytes bytes(size);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(generator());
  return bytes;
}

void writeBytes(const fs::path& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

Bytes readBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool makeImage(const fs::path& path) {
  const Bytes rgb = randomBytes(3);
  char colour[16];
  std::snprintf(colour, sizeof colour, "0x%02x%02x%02x", rgb[0], rgb[1], rgb[2]);
  return ffmpeg(std::string("color=c=") + colour + ":s=96x64", "-frames:v 1", path);
}

bool makeVideo(const fs::path& path, int seconds) {
  std::string title;
  for (auto b : randomBytes(8)) title += std::to_string(b);
  return ffmpeg("testsrc=duration=" + std::to_string(seconds) + ":size=320x240:rate=10",
                "-pix_fmt yuv420p -c:v mpeg4 -metadata title=" + title, path);
}

void Thumbnails::thumbnail(const Screencast& screencast,
                           std::function<void(std::optional<PlatformImage>)> completion) {
  hold ? held.add(std::move(completion))
       : FfmpegThumbnails::thumbnail(screencast, std::move(completion));
}

void StatesObserver::screenCaptureStateChanged(const ScreenCapture& capture, ShareState state) {
  const std::string path = relativeScreenCapturePath(capture.fileURL());
  const bool read = state == ShareState::uploading && readClipboardAtStart;
  changes.add({path, state, read ? readClipboard() : ""});
  std::unique_lock lock(mu_);
  if (auto onState = onState_) {
    lock.unlock();
    onState(path, state);
  }
}

void StatesObserver::setOnState(std::function<void(const std::string&, ShareState)> onState) {
  std::lock_guard lock(mu_);
  onState_ = std::move(onState);
}

std::vector<ShareState> StatesObserver::states(const std::string& path) const {
  std::vector<ShareState> out;
  for (const auto& change : changes()) {
    if (change.path == path) out.push_back(change.state);
  }
  return out;
}

std::size_t StatesObserver::progressCount(const std::string& path) const {
  return std::ranges::count(progress(), path);
}

std::size_t StatesObserver::finalCount(const std::string& path) const {
  return std::ranges::count_if(states(path), [](ShareState s) {
    return s == ShareState::uploaded || s == ShareState::error || s == ShareState::cancelled;
  });
}

Host installHost(const HostOptions& options, const std::optional<std::string>& token) {
  prepareProcess();
  Resolver::reset();
  auto environment = std::make_shared<TestEnvironment>();
  Resolver::registerInMain<EnvironmentHelperService>([environment] { return environment; });
  Host host{std::make_shared<RecordingLog>(),
            std::make_shared<RecordingAlerts>(),
            std::make_shared<RecordingNotifications>(),
            std::make_shared<RecordingProgress>(),
            options.thumbnails ? std::make_shared<Thumbnails>() : nullptr,
            std::make_shared<StatesObserver>(),
            std::make_shared<QueueObserver>(),
            nullptr,
            nullptr};
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
  if (token) {
    account->login(*token);
  } else {
    account->logout();
  }
  fs::remove(prepareProcess() / "data/lumo" / ShareStatesManager::kStatesFileName);
  host.states = std::dynamic_pointer_cast<ShareStatesManager>(
      Resolver::resolveFromRoot<ShareStatesService>());
  host.states->setDelegate(host.observer);
  host.manager = std::dynamic_pointer_cast<ShareManager>(Resolver::resolveFromRoot<ShareService>());
  host.manager->setUploadQueueDelegate(host.queue);
  return host;
}

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  return MainQueue::runUntil(done, timeout);
}

void settle(const Host& host, std::chrono::milliseconds timeout) {
  waitUntil([&] { return host.manager->currentTasks().empty(); }, timeout);
  MainQueue::drain();
  host.states->waitUntilSaved();
}

}  // namespace lumo::sharetest
