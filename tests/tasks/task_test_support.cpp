#include "task_test_support.h"

#include <stdio.h>
#include <stdlib.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <future>
#include <iterator>
#include <random>

#include "lumo/api/CompleteUploadRequest.h"
#include "lumo/api/JSONEncoder.h"
#include "lumo/api/StartUploadRequest.h"
#include "lumo/platform/HttpRequest.h"
#include "lumo/support/DispatchQueue.h"
#include "lumo/tasks/DeleteTask.h"
#include "lumo/tasks/UploadTask.h"

#ifndef LUMO_TASKS_TEST_DIR
#error "LUMO_TASKS_TEST_DIR names the folder of parse_multipart.py"
#endif

namespace lumo::tasktest {
namespace {

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

Reply perform(HttpSession& session, HttpRequest request) {
  std::promise<Reply> promise;
  auto future = promise.get_future();
  session
      .dataTask(std::move(request),
                [&promise](std::optional<HttpResponse> response, std::optional<Bytes> body,
                           std::optional<Error> error) {
                  Reply reply;
                  if (response) {
                    reply.status = response->statusCode;
                    reply.headers = response->headerFields;
                  }
                  if (body) reply.body = std::move(*body);
                  reply.error = std::move(error);
                  promise.set_value(std::move(reply));
                })
      ->resume();
  return future.get();
}

std::string shellQuoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

}  // namespace

std::optional<std::string> Reply::header(const std::string& name) const {
  auto lower = [](std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
  };
  for (const auto& [field, value] : headers) {
    if (lower(field) == lower(name)) return value;
  }
  return std::nullopt;
}

nlohmann::json Reply::json() const {
  return nlohmann::json::parse(body.begin(), body.end(), nullptr, false);
}

const DevStack* DevStack::get(std::string* whyNot) {
  static const DevStack* stack = []() -> const DevStack* {
    auto* s = new DevStack();
    s->apiBase = env("LUMO_API_BASE");
    s->shareBase = env("LUMO_SHARE_BASE");
    s->storageUrl = env("LUMO_STORAGE_URL");
    s->token = env("LUMO_DEV_TOKEN");
    HttpSessionConfiguration config;
    config.timeoutIntervalForRequest = std::chrono::seconds(30);
    s->session_ = HttpSession::make(config);
    if (s->apiBase.empty() || s->shareBase.empty() || s->token.empty()) return nullptr;
    Reply health = s->call("GET", "/__dev__/health");
    if (health.error || health.status != 200) return nullptr;
    return s;
  }();
  if (!stack && whyNot) {
    *whyNot = "the reference service is not reachable (LUMO_API_BASE=" +
              (env("LUMO_API_BASE").empty() ? std::string("unset") : env("LUMO_API_BASE")) +
              "); start it first with: eval \"$(scripts/devstack start)\"";
  }
  return stack;
}

Reply DevStack::call(const std::string& method, const std::string& pathOrUrl,
                     const std::optional<nlohmann::json>& body) const {
  const std::string text = pathOrUrl.rfind("http", 0) == 0 ? pathOrUrl : apiBase + pathOrUrl;
  std::optional<Url> url = Url::parse(text);
  if (!url) return Reply{0, {}, {}, Error::transport(kURLErrorDomain, -1000, "bad URL " + text)};
  HttpRequest request(*url, method);
  if (body) {
    const std::string json = body->dump();
    request.body = Bytes(json.begin(), json.end());
    request.setValue("application/json", "Content-Type");
  }
  return perform(*session_, std::move(request));
}

bool DevStack::fault(const nlohmann::json& fault) const {
  nlohmann::json wanted = fault;
  if (wanted.contains("body") && !wanted["body"].is_string())
    wanted["body"] = wanted["body"].dump();
  return call("POST", "/__dev__/faults", wanted).status == 200;
}

void DevStack::captureStorageBodies(bool on) const {
  call("POST", "/__dev__/capture", nlohmann::json{{"storage_raw", on}});
}

std::vector<nlohmann::json> DevStack::requests(const std::string& pathPrefix) const {
  nlohmann::json json = call("GET", "/__dev__/requests?path_prefix=" + pathPrefix).json();
  std::vector<nlohmann::json> out;
  if (json.is_object() && json.contains("requests")) {
    for (const auto& entry : json["requests"]) out.push_back(entry);
  }
  return out;
}

std::vector<nlohmann::json> DevStack::storagePostsFor(const std::string& key, double since) const {
  const std::string field = "name=\"key\"\r\n\r\n" + key + "\r\n";
  std::vector<nlohmann::json> out;
  for (const auto& post : requests("/storage")) {
    if (post["time"] < since) continue;
    const Bytes raw = decodeBase64(post.value("body_b64", ""));
    if (std::string(raw.begin(), raw.end()).find(field) != std::string::npos) out.push_back(post);
  }
  return out;
}

std::vector<nlohmann::json> DevStack::callsWithBodySize(const std::string& path,
                                                        std::size_t bodySize, double since) const {
  std::vector<nlohmann::json> out;
  for (const auto& call : requests(path)) {
    if (call["path"] == path && call["body_size"] == bodySize && call["time"] >= since) {
      out.push_back(call);
    }
  }
  return out;
}

std::size_t startBodySize(const std::string& contentType, std::int64_t fileSize,
                          const std::string& key) {
  return JSONEncoder().encode(StartUploadRequest{contentType, fileSize, key})->size();
}

std::size_t keyBodySize(const std::string& key) {
  return JSONEncoder().encode(CompleteUploadRequest{key})->size();
}

double nowForLog() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count() - 0.01;
}

void RecordingDelegate::record(Event event) {
  event.onMainThread = DispatchQueue::isMainThread();
  event.thread = std::this_thread::get_id();
  std::lock_guard lock(mu_);
  events_.push_back(std::move(event));
}

void RecordingDelegate::taskUploadStarted(const std::shared_ptr<UploadTask>& task) {
  record({.kind = "started", .taskFinished = task->isFinished()});
}
void RecordingDelegate::taskProgressUpdated(const std::shared_ptr<UploadTask>& task,
                                            double progress) {
  record({.kind = "progress", .progress = progress, .taskFinished = task->isFinished()});
}
void RecordingDelegate::taskUploadComplete(const std::shared_ptr<UploadTask>& task,
                                           std::int64_t fileSize, std::int64_t duration) {
  record({.kind = "complete",
          .fileSize = fileSize,
          .duration = duration,
          .taskFinished = task->isFinished()});
}
void RecordingDelegate::taskUploadError(const std::shared_ptr<UploadTask>& task,
                                        std::int64_t fileSize, const Error& error,
                                        std::int64_t duration) {
  record({.kind = "error",
          .fileSize = fileSize,
          .duration = duration,
          .error = error,
          .taskFinished = task->isFinished()});
}
void RecordingDelegate::taskCancelled(const std::shared_ptr<UploadTask>& task) {
  record({.kind = "cancelled", .taskFinished = task->isFinished()});
}
void RecordingDelegate::taskDeleteStarted(const std::shared_ptr<DeleteTask>& task) {
  record({.kind = "deleteStarted", .taskFinished = task->isFinished()});
}
void RecordingDelegate::taskDeleteComplete(const std::shared_ptr<DeleteTask>& task) {
  record({.kind = "deleteComplete", .taskFinished = task->isFinished()});
}
void RecordingDelegate::taskDeleteError(const std::shared_ptr<DeleteTask>& task,
                                        const Error& error) {
  record({.kind = "deleteError", .error = error, .taskFinished = task->isFinished()});
}

std::vector<Event> RecordingDelegate::events() const {
  std::lock_guard lock(mu_);
  return events_;
}

std::vector<Event> RecordingDelegate::finals() const {
  std::vector<Event> out;
  for (const Event& e : events()) {
    if (e.kind == "complete" || e.kind == "error" || e.kind == "cancelled" ||
        e.kind == "deleteComplete" || e.kind == "deleteError") {
      out.push_back(e);
    }
  }
  return out;
}

std::size_t RecordingDelegate::count(const std::string& kind) const {
  std::size_t n = 0;
  for (const Event& e : events()) n += e.kind == kind ? 1 : 0;
  return n;
}

bool RecordingDelegate::waitForFinal(std::chrono::milliseconds timeout) const {
  return MainQueue::runUntil([this] { return !finals().empty(); }, timeout);
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "lumo-upload-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) std::abort();
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::filesystem::path TempDir::write(const std::string& name, const Bytes& bytes) const {
  std::filesystem::path file = path_ / name;
  std::ofstream out(file, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return file;
}

Bytes randomBytes(std::size_t size) {
  static std::mutex mu;
  static std::mt19937_64 rng(std::random_device{}());
  std::lock_guard lock(mu);
  Bytes out(size);
  for (auto& byte : out) byte = static_cast<std::uint8_t>(rng());
  return out;
}

Bytes readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes decodeBase64(const std::string& text) {
  static const std::string alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  Bytes out;
  std::uint32_t acc = 0;
  int bits = 0;
  for (char c : text) {
    if (c == '=') break;
    const std::size_t v = alphabet.find(c);
    if (v == std::string::npos) continue;
    acc = ((acc << 6) | static_cast<std::uint32_t>(v)) & 0xffffff;
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<std::uint8_t>((acc >> bits) & 0xff));
    }
  }
  return out;
}

ParsedForm parseWithWerkzeug(const Bytes& body, const std::string& contentType) {
  ParsedForm parsed;
  TempDir dir;
  const std::filesystem::path file = dir.write("body.bin", body);
  const std::string command =
      "/usr/bin/python3 " + shellQuoted(std::string(LUMO_TASKS_TEST_DIR) + "/parse_multipart.py") +
      " " + shellQuoted(file.string()) + " " + shellQuoted(contentType);
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) {
    parsed.error = "cannot run " + command;
    return parsed;
  }
  std::string output;
  char buffer[65536];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  const int status = ::pclose(pipe);
  nlohmann::json json = nlohmann::json::parse(output, nullptr, false);
  if (status != 0 || !json.is_object()) {
    parsed.error = "parser failed (status " + std::to_string(status) + "): " + output;
    return parsed;
  }
  if (json.contains("error")) {
    parsed.error = json["error"].get<std::string>();
    return parsed;
  }
  for (const auto& [name, value] : json["fields"].items()) {
    parsed.fields[name] = value.get<std::string>();
  }
  for (const auto& name : json["names"]) parsed.names.push_back(name.get<std::string>());
  if (!json["files"].empty()) {
    const auto& f = json["files"][0];
    parsed.fileName = f["filename"].is_string() ? f["filename"].get<std::string>() : "";
    parsed.fileContentType =
        f["content_type"].is_string() ? f["content_type"].get<std::string>() : "";
    parsed.fileBytes = decodeBase64(f["data_b64"].get<std::string>());
  }
  return parsed;
}

}  // namespace lumo::tasktest
