#include <strings.h>

#include <algorithm>
#include <fstream>
#include <future>
#include <random>

#include "ShareTestHost.h"
#include "lumo/account/ProfileUpdater.h"
#include "lumo/account/UserAccountStore.h"
#include "lumo/api/APISettings.h"
#include "lumo/capture/ScreenCaptureHelper.h"
#include "lumo/capture/ScreenCaptureUrl.h"
#include "lumo/platform/HttpRequest.h"
#include "lumo/platform/HttpSession.h"
#include "lumo/registry/Resolver.h"
#include "lumo/sharing/EnvironmentHelperService.h"
#include "lumo/sharing/PasteboardManager.h"
#include "lumo/sharing/ShareURLHelper.h"
#include "lumo/storage/DirectoriesManager.h"
#include "lumo/storage/LocalFilesManager.h"
#include "lumo/support/DispatchQueue.h"

namespace lumo::sharetest {
namespace {

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::string quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

bool ffmpeg(const std::string& input, const std::string& options, const fs::path& out) {
  return std::system(("ffmpeg -v error -y -f lavfi -i " + input + " " + options + " " +
                      quote(out.string()) + " </dev/null >/dev/null 2>&1")
                         .c_str()) == 0 &&
         fs::exists(out);
}

class TestEnvironment : public EnvironmentHelperService {
 public:
  bool isDebug() const override { return true; }
};

// Registers `Impl` as the application's one `Service`.
template <class Service, class Impl = Service>
void registerOne() {
  Resolver::registerInMain<Service>([] {
    return std::make_shared<Impl>();
  }).scope(Resolver::application());
}

}  // namespace

const fs::path& prepareProcess() {
  static const fs::path folder = [] {
    std::string pattern = (fs::temp_directory_path() / "lumo-share-XXXXXX").string();
    const fs::path made = ::mkdtemp(pattern.data()) ? fs::path(pattern) : fs::temp_directory_path();
    for (const auto& [variable, name] : {std::pair{"XDG_CONFIG_HOME", "config"},
                                         {"XDG_DATA_HOME", "data"},
                                         {"XDG_CACHE_HOME", "cache"},
                                         {"XDG_PICTURES_DIR", "pictures"}}) {
      ::setenv(variable, (made / name).c_str(), 1);
    }
    ::unsetenv("WAYLAND_DISPLAY");
    fs::create_directories(made / "data" / "lumo");  // the internal folder, the host's to make
    if (!env("LUMO_API_BASE").empty()) {
      APISettings::setServiceAddresses({env("LUMO_API_BASE"), env("LUMO_SHARE_BASE")});
    }
    return made;
  }();
  return folder;
}

std::string readClipboard() {
  std::string text;
  if (FILE* pipe = ::popen("xclip -o -selection clipboard 2>/dev/null", "r")) {
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
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
  char colour[8];
  const Bytes rgb = randomBytes(3);
  std::snprintf(colour, sizeof colour, "%02x%02x%02x", rgb[0], rgb[1], rgb[2]);
  return ffmpeg(std::string("color=c=0x") + colour + ":s=96x64", "-frames:v 1", path);
}

bool makeVideo(const fs::path& path, int seconds) {
  std::string title;
  for (auto b : randomBytes(8)) title += std::to_string(b);
  return ffmpeg("testsrc=duration=" + std::to_string(seconds) + ":size=320x240:rate=10",
                "-pix_fmt yuv420p -c:v mpeg4 -metadata title=" + title, path);
}

std::optional<std::string> Reply::header(const std::string& name) const {
  for (const auto& [field, value] : headers) {
    if (::strcasecmp(field.c_str(), name.c_str()) == 0) return value;
  }
  return std::nullopt;
}

Reply fetch(const std::string& method, const std::string& url,
            const std::optional<nlohmann::json>& body) {
  static const auto session = HttpSession::make(HttpSessionConfiguration{});
  HttpRequest request(*Url::parse(url), method);
  if (body) {
    const std::string text = body->dump();
    request.body = Bytes(text.begin(), text.end());
    request.setValue("application/json", "Content-Type");
  }
  std::promise<Reply> promise;
  session
      ->dataTask(
          std::move(request),
          [&promise](std::optional<HttpResponse> response, std::optional<Bytes> data,
                     std::optional<Error> error) {
            promise.set_value({response ? response->statusCode : 0,
                               response ? response->headerFields : decltype(Reply::headers){},
                               data.value_or(Bytes{}), std::move(error)});
          })
      ->resume();
  return promise.get_future().get();
}

const DevService* DevService::get(std::string* whyNot) {
  static const DevService* service = []() -> const DevService* {
    prepareProcess();
    auto* s =
        new DevService{env("LUMO_API_BASE"), env("LUMO_SHARE_BASE"), env("LUMO_DEV_TOKEN"), {}};
    if (s->apiBase.empty() || s->token.empty()) return nullptr;
    const Reply health = s->call("GET", "/__dev__/health");
    if (health.status != 200) return nullptr;
    const auto tokens = health.json().value("tokens", nlohmann::json::object());
    for (const auto& [name, token] : tokens.items()) s->tokens[name] = token.get<std::string>();
    return s;
  }();
  if (!service && whyNot) {
    *whyNot = "the reference service does not answer at LUMO_API_BASE=" + env("LUMO_API_BASE") +
              "; start it with: eval \"$(scripts/devstack start)\"";
  }
  return service;
}

Reply DevService::call(const std::string& method, const std::string& path,
                       const std::optional<nlohmann::json>& body) const {
  return fetch(method, path.starts_with("http") ? path : apiBase + path, body);
}

void DevService::reset() const {
  call("POST", "/__dev__/reset", nlohmann::json::object());
}

bool DevService::fault(const nlohmann::json& fault) const {
  return call("POST", "/__dev__/faults", fault).status == 200;
}

void RecordingLog::debug(const std::string& message, bool showInReleaseMode) {
  add(message);
  Log::debug(message, showInReleaseMode);
}

void RecordingLog::error(const Error& error, const std::optional<LogInfo>& info,
                         bool showInReleaseMode, bool sendToRollbar) {
  errors_.add(error);
  Log::error(error, info, showInReleaseMode, sendToRollbar);
}

std::vector<std::string> RecordingLog::linesStartingWith(const std::string& prefix) const {
  std::vector<std::string> out;
  for (auto& line : lines()) {
    if (line.starts_with(prefix)) out.push_back(line);
  }
  return out;
}

std::vector<Error> RecordingLog::errors() const {
  return errors_.all();
}

void RecordingNotifications::showNotification(const UserNotificationKind& kind, const std::string&,
                                              const ScreenCapture& capture) {
  add({kind, relativeScreenCapturePath(capture.fileURL()), DispatchQueue::isMainThread()});
}

void Thumbnails::thumbnail(const Screencast& screencast, Completion completion) {
  if (!hold) return FfmpegThumbnails::thumbnail(screencast, std::move(completion));
  std::lock_guard lock(mu_);
  held_ = std::move(completion);
}

Thumbnails::Completion Thumbnails::takeHeld() {
  std::lock_guard lock(mu_);
  return std::exchange(held_, nullptr);
}

void StatesObserver::screenCaptureStateChanged(const ScreenCapture& capture, ShareState state) {
  const std::string path = relativeScreenCapturePath(capture.fileURL());
  std::optional<std::string> clipboard;
  if (state == ShareState::uploading && readClipboardAtStart) clipboard = readClipboard();
  std::unique_lock lock(mu_);
  states_[path].push_back(state);
  if (clipboard) clipboardAtStart_.try_emplace(path, *clipboard);
  if (auto onState = onState_) {
    lock.unlock();
    onState(path, state);
  }
}

void StatesObserver::setOnState(std::function<void(const std::string&, ShareState)> onState) {
  std::lock_guard lock(mu_);
  onState_ = std::move(onState);
}

void StatesObserver::screenCaptureProgressChanged(const ScreenCapture& capture, std::int64_t,
                                                  double) {
  std::lock_guard lock(mu_);
  ++progress_[relativeScreenCapturePath(capture.fileURL())];
}

std::vector<ShareState> StatesObserver::states(const std::string& path) const {
  std::lock_guard lock(mu_);
  auto it = states_.find(path);
  return it == states_.end() ? std::vector<ShareState>{} : it->second;
}

std::size_t StatesObserver::stateCount() const {
  std::lock_guard lock(mu_);
  std::size_t count = 0;
  for (const auto& [path, states] : states_) count += states.size();
  return count;
}

std::size_t StatesObserver::progressCount(const std::string& path) const {
  std::lock_guard lock(mu_);
  return progress_.contains(path) ? progress_.at(path) : 0;
}

std::size_t StatesObserver::finalCount(const std::string& path) const {
  return std::ranges::count_if(states(path), [](ShareState s) {
    return s == ShareState::uploaded || s == ShareState::error || s == ShareState::cancelled;
  });
}

std::optional<std::string> StatesObserver::clipboardAtStart(const std::string& path) const {
  std::lock_guard lock(mu_);
  auto it = clipboardAtStart_.find(path);
  return it == clipboardAtStart_.end() ? std::nullopt : std::optional(it->second);
}

Host installHost(const HostOptions& options, const std::optional<std::string>& token) {
  prepareProcess();
  Resolver::reset();
  Resolver::registerInMain<EnvironmentHelperService>([] {
    return std::make_shared<TestEnvironment>();
  }).scope(Resolver::application());
  Host host{std::make_shared<RecordingLog>(),  // asks for the environment
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
  std::error_code ec;
  fs::remove(prepareProcess() / "data" / "lumo" / ShareStatesManager::kStatesFileName, ec);
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
