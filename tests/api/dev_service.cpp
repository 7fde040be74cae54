#include "dev_service.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <memory>
#include <mutex>
#include <random>

#include "lumo/account/ProfileUpdateService.h"
#include "lumo/account/ProfileUpdater.h"
#include "lumo/account/Settings.h"
#include "lumo/account/UserAccountStore.h"
#include "lumo/api/APISettings.h"
#include "lumo/registry/Resolver.h"
#include "lumo/support/Log.h"

namespace lumo::devtest {
namespace {

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

DevService::Reply perform(HttpSession& session, HttpRequest request) {
  std::promise<DevService::Reply> promise;
  auto future = promise.get_future();
  session
      .dataTask(
          std::move(request),
          [&promise](std::optional<HttpResponse> response,
                     std::optional<std::vector<std::uint8_t>> body, std::optional<Error> error) {
            DevService::Reply reply;
            if (response) reply.status = response->statusCode;
            if (body) reply.body = std::move(*body);
            reply.error = std::move(error);
            promise.set_value(std::move(reply));
          })
      ->resume();
  return future.get();
}

std::string randomKey() {
  static std::mutex mu;
  static std::mt19937_64 rng(std::random_device{}());
  std::lock_guard lock(mu);
  static const char* hex = "0123456789abcdef";
  std::string key;
  for (int i = 0; i < 32; ++i) key += hex[rng() % 16];
  return key;
}

}  // namespace

nlohmann::json DevService::Reply::json() const {
  return nlohmann::json::parse(body.begin(), body.end(), nullptr, false);
}

const DevService* DevService::get(std::string* whyNot) {
  static const DevService* service = [] {
    auto* s = new DevService();
    s->apiBase_ = env("LUMO_API_BASE");
    s->shareBase_ = env("LUMO_SHARE_BASE");
    s->storageUrl_ = env("LUMO_STORAGE_URL");
    s->token_ = env("LUMO_DEV_TOKEN");
    HttpSessionConfiguration config;
    config.timeoutIntervalForRequest = std::chrono::seconds(30);
    s->session_ = HttpSession::make(config);
    if (s->apiBase_.empty() || s->token_.empty()) return static_cast<const DevService*>(nullptr);
    Reply health = s->call("GET", "/__dev__/health");
    if (health.error || health.status != 200) return static_cast<const DevService*>(nullptr);
    s->health_ = health.json();
    return static_cast<const DevService*>(s);
  }();
  if (service == nullptr && whyNot != nullptr) {
    *whyNot = "the reference service is not reachable (LUMO_API_BASE=" +
              (env("LUMO_API_BASE").empty() ? std::string("unset") : env("LUMO_API_BASE")) +
              "); start it with: eval \"$(scripts/devstack start)\"";
  }
  return service;
}

std::string DevService::tokenOf(const std::string& name) const {
  return health_.value("/tokens"_json_pointer / name, std::string());
}

DevService::Reply DevService::call(const std::string& method, const std::string& pathOrUrl,
                                   const std::optional<nlohmann::json>& body,
                                   const std::map<std::string, std::string>& headers) const {
  const std::string text = pathOrUrl.rfind("http", 0) == 0 ? pathOrUrl : apiBase_ + pathOrUrl;
  std::optional<Url> url = Url::parse(text);
  if (!url) return Reply{0, {}, Error::transport(kURLErrorDomain, -1000, "bad URL " + text)};
  HttpRequest request(*url, method);
  if (body) {
    const std::string json = body->dump();
    request.body = std::vector<std::uint8_t>(json.begin(), json.end());
    request.setValue("application/json", "Content-Type");
  }
  for (const auto& [field, value] : headers) request.setValue(value, field);
  return perform(*session_, std::move(request));
}

void DevService::reset() const {
  call("POST", "/__dev__/reset", nlohmann::json::object());
}

void DevService::fault(const nlohmann::json& fault) const {
  nlohmann::json wanted = fault;
  // The hook takes the body as text; tests may write it as JSON.
  if (wanted.contains("body") && !wanted["body"].is_string()) {
    wanted["body"] = wanted["body"].dump();
  }
  Reply reply = call("POST", "/__dev__/faults", wanted);
  if (reply.status != 200) {
    std::fprintf(stderr, "fault refused: %s\n",
                 std::string(reply.body.begin(), reply.body.end()).c_str());
    std::abort();
  }
}

void DevService::overrideAccount(const std::string& token, nlohmann::json values) const {
  values["token"] = token;
  call("POST", "/__dev__/accounts", values);
}

std::vector<nlohmann::json> DevService::requests(const std::string& pathPrefix) const {
  Reply reply = call("GET", "/__dev__/requests?path_prefix=" + pathPrefix);
  nlohmann::json json = reply.json();
  std::vector<nlohmann::json> out;
  if (json.is_object() && json.contains("requests")) {
    for (const auto& r : json["requests"]) out.push_back(r);
  }
  return out;
}

std::optional<std::string> DevService::store(const std::vector<std::uint8_t>& bytes,
                                             const std::string& extension,
                                             const std::string& contentType) const {
  const std::string key = randomKey() + "." + extension;
  const std::map<std::string, std::string> auth{{"Authorization", "ApiKey " + token_}};
  Reply start =
      call("POST", "/api/v1/upload/start/",
           nlohmann::json{{"content_type", contentType}, {"file_size", bytes.size()}, {"key", key}},
           auth);
  if (start.status != 200) return std::nullopt;
  const nlohmann::json post = start.json()["presigned_post"];
  const std::string boundary = "lumo-test-boundary-" + randomKey();
  std::string head;
  auto field = [&](const std::string& name, const std::string& value) {
    head += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" +
            value + "\r\n";
  };
  for (const auto& [name, value] : post["fields"].items()) field(name, value.get<std::string>());
  field("Content-Type", contentType);
  head += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" + key +
          "\"\r\nContent-Type: " + contentType + "\r\n\r\n";
  std::vector<std::uint8_t> body(head.begin(), head.end());
  body.insert(body.end(), bytes.begin(), bytes.end());
  const std::string tail = "\r\n--" + boundary + "--\r\n";
  body.insert(body.end(), tail.begin(), tail.end());

  HttpRequest request(*Url::parse(post["url"].get<std::string>()), "POST");
  request.setValue("multipart/form-data; boundary=" + boundary, "Content-Type");
  request.body = std::move(body);
  Reply stored = perform(*session_, std::move(request));
  if (stored.status < 200 || stored.status > 299) return std::nullopt;
  Reply complete = call("POST", "/api/v1/upload/complete/", nlohmann::json{{"key", key}}, auth);
  if (complete.status != 200) return std::nullopt;
  return shareBase_ + "/" + key;
}

TestEnvironment& installServices() {
  static TestEnvironment* environment = [] {
    auto* e = new TestEnvironment();
    if (const DevService* service = DevService::get(nullptr)) {
      APISettings::setServiceAddresses({service->apiBase(), service->shareBase()});
    }
    std::shared_ptr<TestEnvironment> shared(e, [](TestEnvironment*) {});  // lives for good
    Resolver::registerInMain<EnvironmentHelperService>([shared] { return shared; });
    Resolver::registerInMain<LogService>([] {
      return std::make_shared<Log>();
    }).scope(Resolver::application());
    Resolver::registerInMain<UserAccountStoreService>([] {
      return std::make_shared<UserAccountStore>();
    }).scope(Resolver::application());
    Resolver::registerInMain<APISettingsService>([] { return std::make_shared<APISettings>(); });
    Resolver::registerInMain<SettingsService>([] { return std::make_shared<Settings>(); });
    Resolver::registerInMain<ProfileUpdateService>(
        [] { return std::make_shared<ProfileUpdater>(); });
    return e;
  }();
  return *environment;
}

StdoutCapture::StdoutCapture() {
  std::fflush(stdout);
  char path[] = "/tmp/lumo-stdout-XXXXXX";
  fileFd_ = ::mkstemp(path);
  ::unlink(path);
  savedFd_ = ::dup(STDOUT_FILENO);
  ::dup2(fileFd_, STDOUT_FILENO);
}

StdoutCapture::~StdoutCapture() {
  text();
}

std::string StdoutCapture::text() {
  if (done_) return text_;
  done_ = true;
  std::fflush(stdout);
  ::dup2(savedFd_, STDOUT_FILENO);
  ::close(savedFd_);
  ::lseek(fileFd_, 0, SEEK_SET);
  char buffer[65536];
  ssize_t n;
  while ((n = ::read(fileFd_, buffer, sizeof buffer)) > 0) text_.append(buffer, buffer + n);
  ::close(fileFd_);
  return text_;
}

std::string makeTempDir(const std::string& prefix) {
  std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
  char* made = ::mkdtemp(pattern.data());
  return made ? std::string(made) : std::string();
}

}  // namespace lumo::devtest
