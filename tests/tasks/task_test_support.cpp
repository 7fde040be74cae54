#include "task_test_support.h"

#include <stdlib.h>

#include <fstream>
#include <future>
#include <random>

#include "lumo/account/UserAccountStore.h"
#include "lumo/api/APISettings.h"
#include "lumo/api/JSONEncoder.h"
#include "lumo/platform/HttpRequest.h"
#include "lumo/registry/Resolver.h"
#include "lumo/sharing/EnvironmentHelperService.h"
#include "lumo/sharing/ShareURLHelper.h"
#include "lumo/storage/LocalFilesManager.h"
#include "lumo/support/DispatchQueue.h"
#include "lumo/tasks/DeleteTask.h"
#include "lumo/tasks/UploadTask.h"

namespace lumo::tasktest {

bool isUpperCaseUUID(const std::string& text) {
  if (text.size() != 36) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? c != '-' : (c < '0' || c > '9') && (c < 'A' || c > 'F')) return false;
  }
  return true;
}

Bytes randomBytes(std::size_t size) {
  static std::mutex mu;
  static std::mt19937_64 rng(std::random_device{}());
  std::lock_guard lock(mu);
  Bytes out(size);
  for (auto& byte : out) byte = static_cast<std::uint8_t>(rng());
  return out;
}

const DevStack* DevStack::get(std::string* whyNot) {
  static const DevStack* stack = []() -> const DevStack* {
    auto env = [](const char* name) {
      return std::string(std::getenv(name) ? std::getenv(name) : "");
    };
    auto* s = new DevStack{env("LUMO_API_BASE"), env("LUMO_SHARE_BASE"), env("LUMO_DEV_TOKEN"),
                           HttpSession::make({})};
    return s->call("GET", "/__dev__/health").status == 200 ? s : nullptr;
  }();
  if (!stack && whyNot)
    *whyNot = "the reference service does not answer; start it: eval \"$(scripts/devstack start)\"";
  return stack;
}

DevStack::Reply DevStack::call(const std::string& method, const std::string& pathOrUrl,
                               const std::optional<Json>& body) const {
  std::optional<Url> url =
      Url::parse(pathOrUrl.rfind("http", 0) == 0 ? pathOrUrl : apiBase + pathOrUrl);
  if (!url) return {};
  HttpRequest request(*url, method);
  if (body) {
    const std::string text = body->dump();
    request.body = Bytes(text.begin(), text.end());
    request.setValue("application/json", "Content-Type");
  }
  std::promise<Reply> reply;
  session
      ->dataTask(std::move(request),
                 [&reply](std::optional<HttpResponse> response, std::optional<Bytes> bytes,
                          std::optional<Error>) {
                   Reply r{response ? response->statusCode : 0, bytes.value_or(Bytes{}), ""};
                   if (response) r.contentType = response->value("Content-Type").value_or("");
                   reply.set_value(std::move(r));
                 })
      ->resume();
  return reply.get_future().get();
}

void DevStack::fault(Json fault) const {
  if (fault.contains("body")) fault["body"] = fault["body"].dump();
  EXPECT_EQ(call("POST", "/__dev__/faults", fault).status, 200) << fault.dump();
}

std::vector<Json> DevStack::requests(const std::string& pathPrefix) const {
  const Bytes body = call("GET", "/__dev__/requests?path_prefix=" + pathPrefix).body;
  return Json::parse(body.begin(), body.end())["requests"];
}

void RecordingLog::debug(const std::string& message, bool showInReleaseMode) {
  Log::debug(message, showInReleaseMode);
  std::lock_guard lock(mu_);
  lines_.push_back(message);
}

std::vector<std::string> RecordingLog::linesStartingWith(const std::string& prefix) const {
  std::lock_guard lock(mu_);
  std::vector<std::string> out;
  for (const auto& line : lines_)
    if (line.rfind(prefix, 0) == 0) out.push_back(line);
  return out;
}

void RecordingDelegate::record(const NetworkTask& task, Event event) {
  event.taskFinished = task.isFinished();
  event.onMainThread = DispatchQueue::isMainThread();
  event.thread = std::this_thread::get_id();
  std::lock_guard lock(mu_);
  events_.push_back(std::move(event));
}
void RecordingDelegate::taskUploadStarted(const std::shared_ptr<UploadTask>& t) {
  record(*t, {.kind = "UploadStarted"});
}
void RecordingDelegate::taskProgressUpdated(const std::shared_ptr<UploadTask>& t, double progress) {
  record(*t, {.kind = "ProgressUpdated", .progress = progress});
}
void RecordingDelegate::taskUploadComplete(const std::shared_ptr<UploadTask>& t,
                                           std::int64_t fileSize, std::int64_t duration) {
  record(*t, {.kind = "UploadComplete", .fileSize = fileSize, .duration = duration});
}
void RecordingDelegate::taskUploadError(const std::shared_ptr<UploadTask>& t, std::int64_t fileSize,
                                        const Error& error, std::int64_t duration) {
  record(*t, {.kind = "UploadError", .fileSize = fileSize, .duration = duration, .error = error});
}
void RecordingDelegate::taskCancelled(const std::shared_ptr<UploadTask>& t) {
  record(*t, {.kind = "Cancelled"});
}
void RecordingDelegate::taskDeleteStarted(const std::shared_ptr<DeleteTask>& t) {
  record(*t, {.kind = "DeleteStarted"});
}
void RecordingDelegate::taskDeleteComplete(const std::shared_ptr<DeleteTask>& t) {
  record(*t, {.kind = "DeleteComplete"});
}
void RecordingDelegate::taskDeleteError(const std::shared_ptr<DeleteTask>& t, const Error& error) {
  record(*t, {.kind = "DeleteError", .error = error});
}

std::vector<Event> RecordingDelegate::events(const std::string& kind) const {
  std::lock_guard lock(mu_);
  std::vector<Event> out;
  for (const Event& e : events_)
    if (kind.empty() || e.kind == kind) out.push_back(e);
  return out;
}

std::vector<Event> RecordingDelegate::finals() const {
  std::vector<Event> out;
  for (const Event& e : events())
    if (e.isFinal()) out.push_back(e);
  return out;
}

RecordingLog& ServiceTaskTest::log() {
  static auto log = std::make_shared<RecordingLog>();
  return *log;
}

void ServiceTaskTest::SetUp() {
  std::string whyNot;
  ASSERT_NE(stack_ = DevStack::get(&whyNot), nullptr) << whyNot;
  static const bool installed = [this] {
    // The account store keeps its token in the defaults: a private folder keeps the user's own.
    std::string config = (std::filesystem::temp_directory_path() / "lumo-tasks-XXXXXX").string();
    ::setenv("XDG_CONFIG_HOME", ::mkdtemp(config.data()), 1);
    APISettings::setServiceAddresses({stack_->apiBase, stack_->shareBase});
    struct Debug : EnvironmentHelperService {
      bool isDebug() const override { return true; }
    };
    Resolver::registerInMain<EnvironmentHelperService>([] { return std::make_shared<Debug>(); });
    Resolver::registerInMain<LogService>(
        [] { return std::shared_ptr<LogService>(&log(), [](auto*) {}); });
    Resolver::registerInMain<UserAccountStoreService>([] {
      return std::make_shared<UserAccountStore>();
    }).scope(Resolver::application());
    Resolver::registerInMain<APISettingsService>([] { return std::make_shared<APISettings>(); });
    Resolver::registerInMain<ShareURLHelperService>(
        [] { return std::make_shared<ShareURLHelper>(); });
    Resolver::registerInMain<LocalFilesService>(
        [] { return std::make_shared<LocalFilesManager>(); });
    return true;
  }();
  (void)installed;
  useToken(true);
  since_ =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count() -
      0.01;
  dir_ = std::filesystem::temp_directory_path() /
         ("lumo-tasks-" + std::to_string(std::random_device{}()));
  std::filesystem::create_directories(dir_);
}

double ServiceTaskTest::now() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
             .count() -
         0.01;
}

void ServiceTaskTest::TearDown() {
  std::filesystem::remove_all(dir_);
}

void ServiceTaskTest::useToken(bool signedIn) {
  auto store = Resolver::resolveFromRoot<UserAccountStoreService>();
  signedIn ? store->login(DevStack::get(nullptr)->token) : store->logout();
}

void ServiceTaskTest::run(const std::shared_ptr<NetworkTask>& task) {
  queue_.addOperation(task);
  ASSERT_TRUE(waitForFinal());
  MainQueue::runFor(std::chrono::milliseconds(300));  // a second final call would come by now
  expectEndedOnce(*task);
}

bool ServiceTaskTest::waitForFinal() const {
  return MainQueue::runUntil([this] { return !delegate_->finals().empty(); },
                             std::chrono::seconds(60));
}

void ServiceTaskTest::expectEndedOnce(const NetworkTask& task) {
  EXPECT_EQ(delegate_->finals().size(), 1u);
  EXPECT_TRUE(task.isFinished() && !task.isExecuting());
  for (const Event& e : delegate_->finals()) EXPECT_TRUE(e.taskFinished) << e.kind;
  EXPECT_TRUE(MainQueue::runUntil([this] { return queue_.operationCount() == 0; },
                                  std::chrono::seconds(30)));
}

Event ServiceTaskTest::final() const {
  auto finals = delegate_->finals();
  return finals.empty() ? Event{.kind = "none"} : finals.front();
}

std::filesystem::path ServiceTaskTest::write(const std::string& name, const Bytes& bytes) const {
  std::ofstream(dir_ / name, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  return dir_ / name;
}

std::vector<Json> ServiceTaskTest::calls(const std::string& path, const std::string& key) const {
  const auto body = JSONEncoder::encodeJSON({{"key", key}});
  if (!body) return {};
  const std::size_t size = body->size();
  std::vector<Json> out;
  for (const Json& call : stack_->requests("/api/v1/" + path + "/"))
    if (call["body_size"] == size && call["time"] >= since_) out.push_back(call);
  return out;
}

std::int64_t ServiceTaskTest::served(const std::string& key) const {
  return stack_->call("GET", stack_->shareBase + "/" + key).status;
}

}  // namespace lumo::tasktest
