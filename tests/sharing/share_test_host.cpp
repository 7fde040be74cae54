#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <future>
#include <iterator>
#include <random>
#include <thread>

#include "ShareTestHost.h"
#include "lumo/account/ProfileUpdater.h"
#include "lumo/account/UserAccountStore.h"
#include "lumo/api/APISettings.h"
#include "lumo/capture/ScreenCaptureHelper.h"
#include "lumo/capture/ScreenCaptureUrl.h"
#include "lumo/platform/HttpRequest.h"
#include "lumo/registry/Resolver.h"
#include "lumo/sharing/PasteboardManager.h"
#include "lumo/sharing/ShareURLHelper.h"
#include "lumo/storage/DirectoriesManager.h"
#include "lumo/storage/LocalFilesManager.h"
#include "lumo/support/DispatchQueue.h"

extern char** environ;

namespace lumo::sharetest {
namespace {

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

class TestEnvironment : public EnvironmentHelperService {
 public:
  bool isDebug() const override { return true; }
};

pid_t spawn(const std::vector<std::string>& args, int stdoutFd) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (stdoutFd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, stdoutFd, STDOUT_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  }
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

int waitFor(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

pid_t gXvfb = -1;

void stopXvfb() {
  if (gXvfb > 0) {
    ::kill(gXvfb, SIGTERM);
    ::waitpid(gXvfb, nullptr, 0);
  }
}

// An Xvfb of our own on a free display number, for runs outside scripts/test.
void startXvfb() {
  std::random_device random;
  for (int attempt = 0; attempt < 20; ++attempt) {
    const int number = 200 + static_cast<int>(random() % 500);
    const fs::path socket = "/tmp/.X11-unix/X" + std::to_string(number);
    const fs::path lock = "/tmp/.X" + std::to_string(number) + "-lock";
    if (fs::exists(socket) || fs::exists(lock)) continue;
    const std::string display = ":" + std::to_string(number);
    gXvfb = spawn({"Xvfb", display, "-nolisten", "tcp"}, -1);
    if (gXvfb < 0) return;
    for (int i = 0; i < 100 && !fs::exists(socket); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!fs::exists(socket)) {
      stopXvfb();
      gXvfb = -1;
      continue;
    }
    ::setenv("DISPLAY", display.c_str(), 1);
    std::atexit(stopXvfb);
    return;
  }
}

}  // namespace

const fs::path& prepareProcess() {
  static const fs::path folder = [] {
    std::string pattern = (fs::temp_directory_path() / "lumo-share-XXXXXX").string();
    fs::path made = ::mkdtemp(pattern.data()) ? fs::path(pattern) : fs::temp_directory_path();
    // The account store and the states file stay away from the user's own.
    ::setenv("XDG_CONFIG_HOME", (made / "config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (made / "data").c_str(), 1);
    ::setenv("XDG_CACHE_HOME", (made / "cache").c_str(), 1);
    ::setenv("XDG_PICTURES_DIR", (made / "pictures").c_str(), 1);
    ::unsetenv("WAYLAND_DISPLAY");
    std::error_code ec;
    fs::create_directories(made / "config", ec);
    fs::create_directories(made / "data" / "lumo", ec);  // the internal folder, the host's to make
    if (env("DISPLAY").empty()) startXvfb();
    if (const char* api = std::getenv("LUMO_API_BASE")) {
      APISettings::setServiceAddresses({api, env("LUMO_SHARE_BASE")});
    }
    return made;
  }();
  return folder;
}

int run(const std::vector<std::string>& args) {
  const pid_t pid = spawn(args, -1);
  return pid < 0 ? -1 : waitFor(pid);
}

std::string readClipboard() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return {};
  const pid_t pid = spawn({"xclip", "-o", "-selection", "clipboard"}, fds[1]);
  ::close(fds[1]);
  std::string text;
  char buffer[4096];
  for (ssize_t n; pid > 0 && (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) {
    text.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fds[0]);
  if (pid > 0) waitFor(pid);
  return text;
}

fs::path makeDocumentsFolder() {
  static std::atomic<int> counter{0};
  const fs::path folder =
      prepareProcess() / ("captures-" + std::to_string(++counter)) / "Documents";
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
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

Bytes readBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool makeImage(const fs::path& path) {
  const Bytes rgb = randomBytes(3);
  char colour[16];
  std::snprintf(colour, sizeof colour, "0x%02x%02x%02x", rgb[0], rgb[1], rgb[2]);
  return run({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
              std::string("color=c=") + colour + ":s=96x64", "-frames:v", "1", path.string()}) ==
             0 &&
         fs::exists(path);
}

bool makeVideo(const fs::path& path, int seconds) {
  const Bytes tag = randomBytes(8);
  std::string title;
  for (auto b : tag) title += std::to_string(b);
  return run({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
              "testsrc=duration=" + std::to_string(seconds) + ":size=320x240:rate=10", "-pix_fmt",
              "yuv420p", "-c:v", "mpeg4", "-metadata", "title=" + title, path.string()}) == 0 &&
         fs::exists(path);
}

std::optional<std::string> Reply::header(const std::string& name) const {
  auto lower = [](std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  };
  for (const auto& [field, value] : headers) {
    if (lower(field) == lower(name)) return value;
  }
  return std::nullopt;
}

nlohmann::json Reply::json() const {
  return nlohmann::json::parse(body.begin(), body.end(), nullptr, false);
}

Reply fetch(const std::string& method, const std::string& url,
            const std::optional<nlohmann::json>& body) {
  static const std::shared_ptr<HttpSession> session = [] {
    HttpSessionConfiguration config;
    config.timeoutIntervalForRequest = std::chrono::seconds(30);
    return HttpSession::make(config);
  }();
  const auto parsed = Url::parse(url);
  if (!parsed) return Reply{0, {}, {}, Error::transport(kURLErrorDomain, -1000, "bad URL " + url)};
  HttpRequest request(*parsed, method);
  if (body) {
    const std::string text = body->dump();
    request.body = Bytes(text.begin(), text.end());
    request.setValue("application/json", "Content-Type");
  }
  std::promise<Reply> promise;
  auto future = promise.get_future();
  session
      ->dataTask(std::move(request),
                 [&promise](std::optional<HttpResponse> response, std::optional<Bytes> data,
                            std::optional<Error> error) {
                   Reply reply;
                   if (response) {
                     reply.status = response->statusCode;
                     reply.headers = response->headerFields;
                   }
                   if (data) reply.body = std::move(*data);
                   reply.error = std::move(error);
                   promise.set_value(std::move(reply));
                 })
      ->resume();
  return future.get();
}

const DevService* DevService::get(std::string* whyNot) {
  static const DevService* service = []() -> const DevService* {
    prepareProcess();
    auto* s = new DevService();
    s->apiBase = env("LUMO_API_BASE");
    s->shareBase = env("LUMO_SHARE_BASE");
    s->token = env("LUMO_DEV_TOKEN");
    if (s->apiBase.empty() || s->shareBase.empty() || s->token.empty()) return nullptr;
    Reply health = s->call("GET", "/__dev__/health");
    if (health.error || health.status != 200) return nullptr;
    const auto json = health.json();
    if (json.is_object() && json.contains("tokens") && json["tokens"].is_object()) {
      for (const auto& [name, token] : json["tokens"].items()) {
        if (token.is_string()) s->tokens[name] = token.get<std::string>();
      }
    }
    return s;
  }();
  if (!service && whyNot) {
    *whyNot = "the reference service is not reachable (LUMO_API_BASE=" +
              (env("LUMO_API_BASE").empty() ? std::string("unset") : env("LUMO_API_BASE")) +
              "); start it first with: eval \"$(scripts/devstack start)\"";
  }
  return service;
}

Reply DevService::call(const std::string& method, const std::string& path,
                       const std::optional<nlohmann::json>& body) const {
  return fetch(method, path.rfind("http", 0) == 0 ? path : apiBase + path, body);
}

void DevService::reset() const {
  call("POST", "/__dev__/reset", nlohmann::json::object());
}

bool DevService::fault(const nlohmann::json& fault) const {
  return call("POST", "/__dev__/faults", fault).status == 200;
}

bool DevService::overrideAccount(const std::string& token, nlohmann::json values) const {
  values["token"] = token;
  return call("POST", "/__dev__/accounts", values).status == 200;
}

void RecordingLog::debug(const std::string& message, bool showInReleaseMode) {
  {
    std::lock_guard lock(mu_);
    lines_.push_back(message);
  }
  Log::debug(message, showInReleaseMode);
}

void RecordingLog::error(const Error& error, const std::optional<LogInfo>& info,
                         bool showInReleaseMode, bool sendToRollbar) {
  {
    std::lock_guard lock(mu_);
    errors_.push_back(error);
  }
  Log::error(error, info, showInReleaseMode, sendToRollbar);
}

std::vector<std::string> RecordingLog::lines() const {
  std::lock_guard lock(mu_);
  return lines_;
}

std::vector<std::string> RecordingLog::linesStartingWith(const std::string& prefix) const {
  std::vector<std::string> out;
  for (auto& line : lines()) {
    if (line.rfind(prefix, 0) == 0) out.push_back(line);
  }
  return out;
}

std::vector<Error> RecordingLog::errors() const {
  std::lock_guard lock(mu_);
  return errors_;
}

void RecordingAlerts::showAlert(const std::string& message) {
  std::lock_guard lock(mu_);
  messages_.push_back(message);
}

std::vector<std::string> RecordingAlerts::messages() const {
  std::lock_guard lock(mu_);
  return messages_;
}

void RecordingNotifications::showNotification(const UserNotificationKind& kind,
                                              const std::string& detail,
                                              const ScreenCapture& screenCapture) {
  std::lock_guard lock(mu_);
  notifications_.push_back({kind, detail, relativeScreenCapturePath(screenCapture.fileURL()),
                            DispatchQueue::isMainThread()});
}

std::vector<Notification> RecordingNotifications::notifications() const {
  std::lock_guard lock(mu_);
  return notifications_;
}

void RecordingProgress::updateProgress(double progress) {
  std::lock_guard lock(mu_);
  values_.push_back(progress);
}

std::vector<double> RecordingProgress::values() const {
  std::lock_guard lock(mu_);
  return values_;
}

void FfmpegThumbnails::thumbnail(const Screencast& screencast,
                                 std::function<void(std::optional<PlatformImage>)> completion) {
  if (hold) {
    std::lock_guard lock(mu_);
    held_ = std::move(completion);
    return;
  }
  const bool nothing = answerNothing;
  const fs::path video = screencast.fileURL().filePath();
  DispatchQueue::global().async([video, nothing, completion = std::move(completion)] {
    if (nothing) {
      completion(std::nullopt);
      return;
    }
    const fs::path frame = video.string() + ".frame.png";
    std::optional<PlatformImage> image;
    if (run({"ffmpeg", "-v", "error", "-y", "-i", video.string(), "-frames:v", "1",
             frame.string()}) == 0) {
      const Bytes bytes = readBytes(frame);
      image = PlatformImage::fromData(bytes);
    }
    std::error_code ec;
    fs::remove(frame, ec);
    completion(std::move(image));
  });
}

std::function<void(std::optional<PlatformImage>)> FfmpegThumbnails::takeHeld() {
  std::lock_guard lock(mu_);
  return std::exchange(held_, nullptr);
}

void StatesObserver::screenCaptureStateChanged(const ScreenCapture& screenCapture,
                                               ShareState state) {
  const std::string path = relativeScreenCapturePath(screenCapture.fileURL());
  std::optional<std::string> clipboard;
  if (state == ShareState::uploading && readClipboardAtStart) clipboard = readClipboard();
  std::function<void(const std::string&, ShareState)> onState;
  {
    std::lock_guard lock(mu_);
    states_[path].push_back(state);
    ++stateCount_;
    if (clipboard && !clipboardAtStart_.count(path)) clipboardAtStart_[path] = *clipboard;
    onState = onState_;
  }
  if (onState) onState(path, state);
}

void StatesObserver::setOnState(std::function<void(const std::string&, ShareState)> onState) {
  std::lock_guard lock(mu_);
  onState_ = std::move(onState);
}

void StatesObserver::screenCaptureProgressChanged(const ScreenCapture& screenCapture,
                                                  std::int64_t /*totalFileSize*/,
                                                  double /*progress*/) {
  std::lock_guard lock(mu_);
  ++progress_[relativeScreenCapturePath(screenCapture.fileURL())];
}

std::vector<ShareState> StatesObserver::states(const std::string& path) const {
  std::lock_guard lock(mu_);
  auto it = states_.find(path);
  return it == states_.end() ? std::vector<ShareState>{} : it->second;
}

std::size_t StatesObserver::stateCount() const {
  std::lock_guard lock(mu_);
  return stateCount_;
}

std::size_t StatesObserver::progressCount(const std::string& path) const {
  std::lock_guard lock(mu_);
  auto it = progress_.find(path);
  return it == progress_.end() ? 0 : it->second;
}

std::size_t StatesObserver::finalCount(const std::string& path) const {
  std::size_t count = 0;
  for (auto state : states(path)) {
    if (state == ShareState::uploaded || state == ShareState::error ||
        state == ShareState::cancelled) {
      ++count;
    }
  }
  return count;
}

std::optional<std::string> StatesObserver::clipboardAtStart(const std::string& path) const {
  std::lock_guard lock(mu_);
  auto it = clipboardAtStart_.find(path);
  if (it == clipboardAtStart_.end()) return std::nullopt;
  return it->second;
}

void QueueObserver::uploadQueue(UploadQueue& /*queue*/, std::int64_t operationCountChanged) {
  std::lock_guard lock(mu_);
  counts_.push_back(operationCountChanged);
}

std::vector<std::int64_t> QueueObserver::counts() const {
  std::lock_guard lock(mu_);
  return counts_;
}

Host installHost(const HostOptions& options, const std::optional<std::string>& token) {
  prepareProcess();
  Resolver::reset();
  Host host;
  Resolver::registerInMain<EnvironmentHelperService>([] {
    return std::make_shared<TestEnvironment>();
  }).scope(Resolver::application());
  host.log = std::make_shared<RecordingLog>();  // asks for the environment
  host.alerts = std::make_shared<RecordingAlerts>();
  host.notifications = std::make_shared<RecordingNotifications>();
  host.progress = std::make_shared<RecordingProgress>();
  if (options.thumbnails) host.thumbnails = std::make_shared<FfmpegThumbnails>();
  host.observer = std::make_shared<StatesObserver>();
  host.queue = std::make_shared<QueueObserver>();

  auto log = host.log;
  Resolver::registerInMain<LogService>([log] { return log; });
  Resolver::registerInMain<DirectoriesService>([] {
    return std::make_shared<DirectoriesManager>();
  }).scope(Resolver::application());
  Resolver::registerInMain<LocalFilesService>([] {
    return std::make_shared<LocalFilesManager>();
  }).scope(Resolver::application());
  Resolver::registerInMain<UserAccountStoreService>([] {
    return std::make_shared<UserAccountStore>();
  }).scope(Resolver::application());
  Resolver::registerInMain<ProfileUpdateService>([] {
    return std::make_shared<ProfileUpdater>();
  }).scope(Resolver::application());
  Resolver::registerInMain<APISettingsService>([] {
    return std::make_shared<APISettings>();
  }).scope(Resolver::application());
  Resolver::registerInMain<ShareURLHelperService>([] {
    return std::make_shared<ShareURLHelper>();
  }).scope(Resolver::application());
  Resolver::registerInMain<ScreenCaptureHelperService>([] {
    return std::make_shared<ScreenCaptureHelper>();
  }).scope(Resolver::application());
  Resolver::registerInMain<HttpSessionConfiguration>([limit = options.maximumIdleTimeout] {
    return HttpSessionConfiguration{.maximumIdleTimeout = limit, .httpAdditionalHeaders = {}};
  });
  Clipboard* clipboard = options.clipboard;
  Resolver::registerInMain<PasteboardService>([clipboard] {
    return clipboard ? std::make_shared<PasteboardManager>(*clipboard)
                     : std::make_shared<PasteboardManager>();
  });
  Resolver::registerInMain<ShareStatesService>([] {
    return std::make_shared<ShareStatesManager>();
  }).scope(Resolver::application());
  Resolver::registerInMain<ShareService>([] {
    return std::make_shared<ShareManager>();
  }).scope(Resolver::application());

  auto alerts = host.alerts;
  auto notifications = host.notifications;
  auto progress = host.progress;
  Resolver::registerInMain<GlobalAlertsService>([alerts] { return alerts; });
  Resolver::registerInMain<UserNotificationsService>([notifications] { return notifications; });
  Resolver::registerInMain<ProgressDisplay>([progress] { return progress; });
  if (auto thumbnails = host.thumbnails) {
    Resolver::registerInMain<ThumbnailsService>([thumbnails] { return thumbnails; });
  }

  auto account = Resolver::resolveFromRoot<UserAccountStoreService>();
  if (token) {
    account->login(*token);
  } else {
    account->logout();
  }

  // Every host starts from an empty states file.
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
