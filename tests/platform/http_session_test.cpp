#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <atomic>
#include <cstdlib>
#include <future>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "../common/TestFiles.h"
#include "lumo/platform/HttpSession.h"

namespace lumo {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;
constexpr std::size_t kMiB = 1024 * 1024;

std::string md5Hex(const Bytes& data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(data.data(), data.size(), digest, &length, EVP_md5(), nullptr);
  std::string out;
  for (unsigned int i = 0; i < length; ++i) {
    out += "0123456789abcdef"[digest[i] >> 4];
    out += "0123456789abcdef"[digest[i] & 0xF];
  }
  return out;
}

// Byte i of the reference service's /bytes/<n> answers.
Bytes pattern(std::size_t n) {
  Bytes out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(i % 251);
  return out;
}

struct Outcome {
  std::optional<HttpResponse> response;
  std::optional<Bytes> body;
  std::optional<Error> error;
  nlohmann::json json() const {
    return body ? nlohmann::json::parse(body->begin(), body->end(), nullptr, false) : nullptr;
  }
};

std::pair<HttpTask::CompletionHandler, std::future<Outcome>> capture() {
  auto promise = std::make_shared<std::promise<Outcome>>();
  auto future = promise->get_future();
  return {[promise](auto response, auto body, auto error) {
            promise->set_value(Outcome{std::move(response), std::move(body), std::move(error)});
          },
          std::move(future)};
}

// Waits for the outcome while running the main queue, for sessions that deliver there.
Outcome await(std::future<Outcome>& future, std::chrono::seconds limit = 60s) {
  if (MainQueue::runUntil([&] { return future.wait_for(0s) == std::future_status::ready; },
                          limit)) {
    return future.get();
  }
  ADD_FAILURE() << "the task did not complete within " << limit.count() << " s";
  return {};
}

Outcome perform(const std::shared_ptr<HttpSession>& session, HttpRequest request,
                std::chrono::seconds limit = 60s) {
  auto [completion, future] = capture();
  session->dataTask(std::move(request), std::move(completion))->resume();
  return await(future, limit);
}

// Records a session's delegate events and whether they arrive on the expected queue.
class Recorder : public HttpSessionDelegate {
 public:
  explicit Recorder(std::optional<DispatchQueue> queue = std::nullopt) : queue_(std::move(queue)) {}
  void didSendBodyData(HttpSession&, const std::shared_ptr<HttpTask>&, std::int64_t sent,
                       std::int64_t total, std::int64_t expected) override {
    checkQueue();
    std::lock_guard lock(mu_);
    progress_.push_back({sent, total, expected});
  }
  void didCompleteWithError(HttpSession&, const std::shared_ptr<HttpTask>&,
                            const std::optional<Error>&) override {
    checkQueue();
    ++completions;
  }
  void didBecomeInvalidWithError(HttpSession&, const std::optional<Error>&) override {
    checkQueue();
    completionsAtInvalidation = completions.load();
  }
  std::vector<std::array<std::int64_t, 3>> progress() const {
    std::lock_guard lock(mu_);
    return progress_;
  }

  std::atomic<int> completions{0}, completionsAtInvalidation{-1}, wrongQueue{0};

 private:
  void checkQueue() { wrongQueue += queue_ && !queue_->isCurrent(); }
  const std::optional<DispatchQueue> queue_;
  mutable std::mutex mu_;
  std::vector<std::array<std::int64_t, 3>> progress_;  // guarded by mu_
};

std::size_t entriesIn(const char* folder) {
  const std::filesystem::directory_iterator it(folder);
  return static_cast<std::size_t>(std::distance(begin(it), end(it)));
}

class HttpSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* base = std::getenv("LUMO_API_BASE");
    if (base && Url::parse(base)) {
      base_ = *Url::parse(base);
      if (!perform(HttpSession::make(), dev("status/200"), 30s).error) return;
    }
    FAIL() << "the reference service does not answer (LUMO_API_BASE=" << (base ? base : "unset")
           << "); run: eval \"$(scripts/devstack start)\"";
  }
  HttpRequest dev(const std::string& route, std::string method = "GET") const {
    return HttpRequest(*Url::resolve("/__dev__/" + route, base_), std::move(method));
  }
  // A file of `size` pattern bytes, removed at the end.
  fs::path file(std::size_t size) {
    const Bytes bytes = pattern(size);
    testing_files::writeFile(dir_ / std::to_string(size), std::string(bytes.begin(), bytes.end()));
    return dir_ / std::to_string(size);
  }
  Url base_ = Url::fileURL("/");
  testing_files::TempDir dir_;
};

TEST_F(HttpSessionTest, StatusClassesHeadersAndBodies) {
  HttpSessionConfiguration config;
  config.httpAdditionalHeaders = {{"X-Session", "from-session"}, {"X-Both", "session"}};
  auto session = HttpSession::make(config);
  for (int code : {200, 201, 204, 299, 304, 400, 401, 404, 418, 500, 503}) {
    SCOPED_TRACE(code);
    const Outcome out = perform(session, dev("status/" + std::to_string(code)));
    ASSERT_TRUE(!out.error && out.response && out.body);
    EXPECT_EQ(out.response->statusCode, code);
    EXPECT_TRUE((code != 204 && code != 304) || out.body->empty());
  }
  const Outcome head = perform(session, dev("bytes/5000", "HEAD"));
  ASSERT_TRUE(head.response && head.body);
  EXPECT_EQ(head.response->expectedContentLength(), 5000);
  EXPECT_TRUE(head.body->empty());
  EXPECT_TRUE(perform(session, dev("bytes/0")).body->empty());

  HttpRequest request = dev("echo?a=1&b=two%20words&flag", "POST");
  request.setValue("application/json", "Content-Type");
  request.setValue("request", "x-both");
  request.setValue("", "X-Empty");
  request.body = Bytes{'{', '}'};
  const Outcome out = perform(session, request);
  ASSERT_TRUE(out.response);
  EXPECT_EQ(out.response->value("content-type"), "application/json");
  EXPECT_EQ(out.response->expectedContentLength(), static_cast<std::int64_t>(out.body->size()));
  const auto echo = out.json();
  EXPECT_EQ(echo["method"], "POST");
  EXPECT_EQ(echo["query"], "a=1&b=two%20words&flag");
  const nlohmann::json headers = echo["headers"];
  nlohmann::json merged = headers;  // the headers as they would be with the expected ones
  merged.update({{"content-type", "application/json"},
                 {"x-session", "from-session"},
                 {"x-both", "request"},
                 {"x-empty", ""},
                 {"content-length", "2"}});
  EXPECT_EQ(merged, headers);
  EXPECT_FALSE(headers.contains("expect") || headers.contains("transfer-encoding"));
  const auto put = perform(session, dev("echo", "PUT")).json()["headers"];  // no body, no type
  EXPECT_TRUE(put["content-length"] == "0" && !put.contains("content-type")) << put;

  request.setValue("a\r\nInjected: yes", "X-Bad");  // would smuggle in another line
  EXPECT_EQ(perform(session, request).error->code(), URLErrorCode::kBadURL);
}

TEST_F(HttpSessionTest, LargeDownloadAndStreamedUploadWithProgressOnTheMainQueue) {
  auto recorder = std::make_shared<Recorder>(DispatchQueue::main());
  auto session = HttpSession::make({}, recorder, DispatchQueue::main());
  const Outcome down = perform(session, dev("bytes/" + std::to_string(100 * kMiB)), 300s);
  ASSERT_TRUE(down.body);
  EXPECT_TRUE(*down.body == pattern(100 * kMiB));

  const fs::path file = this->file(30 * kMiB);
  const std::string head = "--B\r\nContent-Disposition: form-data; name=\"file\"\r\n\r\n";
  const std::string tail = "\r\n--B--";
  HttpRequest request = dev("echo");
  request.setValue("multipart/form-data; boundary=B", "Content-Type");
  auto [completion, future] = capture();
  auto task =
      session->uploadTask(request, HttpBody().appendBytes(head).appendFile(file).appendBytes(tail),
                          [&, completion = completion](auto r, auto b, auto e) {
                            EXPECT_TRUE(DispatchQueue::isMainThread());
                            completion(std::move(r), std::move(b), std::move(e));
                          });
  const std::int64_t total = static_cast<std::int64_t>(head.size() + 30 * kMiB + tail.size());
  EXPECT_EQ(task->countOfBytesExpectedToSend(), total);
  task->resume();
  const Outcome out = await(future, 300s);
  ASSERT_FALSE(out.error) << out.error->localizedDescription();
  Bytes whole(head.begin(), head.end());
  const Bytes middle = pattern(30 * kMiB);
  whole.insert(whole.end(), middle.begin(), middle.end());
  whole.insert(whole.end(), tail.begin(), tail.end());
  const auto echo = out.json();
  EXPECT_EQ(echo["method"], "POST");
  EXPECT_EQ(echo["headers"]["content-length"], std::to_string(total));
  EXPECT_EQ(echo["body_md5"], md5Hex(whole));

  // Progress: increasing totals that add up and end at the expected size, before completion.
  ASSERT_TRUE(MainQueue::runUntil([&] { return recorder->completions == 2; }, 30s));
  std::int64_t sum = 0;
  for (const auto& [sent, sofar, expected] : recorder->progress()) {
    EXPECT_TRUE(sent > 0 && sofar == (sum += sent) && expected == total);
  }
  EXPECT_EQ(sum, total);
  EXPECT_EQ(recorder->wrongQueue, 0);
  EXPECT_EQ(task->countOfBytesSent(), total);
  EXPECT_EQ(task->state(), HttpTask::State::completed);

  auto [missingCompletion, missing] = capture();
  session->uploadTask(dev("echo"), "/nonexistent/file.png", std::move(missingCompletion))->resume();
  const Outcome gone = await(missing);
  ASSERT_TRUE(gone.error);
  EXPECT_EQ(gone.error->code(), URLErrorCode::kFileDoesNotExist);
  EXPECT_NE(gone.error->localizedDescription().find("/nonexistent/file.png"), std::string::npos);
}

TEST_F(HttpSessionTest, CancelBeforeStartDuringARequestAndDuringAnUploadCompletesOnceAsCancelled) {
  auto recorder = std::make_shared<Recorder>();
  auto session = HttpSession::make({}, recorder);
  auto [completion, future] = capture();  // a second call would throw: its promise is set
  auto task = session->dataTask(dev("echo"), std::move(completion));
  task->cancel();
  task->resume();  // too late: nothing more happens
  task->cancel();
  const Outcome out = await(future);
  ASSERT_TRUE(out.error);
  EXPECT_TRUE(out.error->isURLCancelled());
  EXPECT_EQ(out.error->localizedDescription(), "cancelled");
  EXPECT_FALSE(out.response);
  EXPECT_EQ(task->state(), HttpTask::State::completed);

  auto [delayed, delayedFuture] = capture();
  auto running = session->dataTask(dev("delay/20000"), std::move(delayed));
  running->resume();
  std::this_thread::sleep_for(300ms);  // usually under way by then; cancelled either way
  running->cancel();
  EXPECT_TRUE(await(delayedFuture, 30s).error->isURLCancelled());
  EXPECT_EQ(running->error()->code(), URLErrorCode::kCancelled);

  auto [uploadCompletion, uploaded] = capture();
  auto upload = session->uploadTask(dev("echo"), file(64 * kMiB), std::move(uploadCompletion));
  upload->resume();
  ASSERT_TRUE(MainQueue::runUntil([&] { return !recorder->progress().empty(); }, 30s));
  upload->cancel();
  EXPECT_TRUE(await(uploaded).error->isURLCancelled());
  EXPECT_LT(upload->countOfBytesSent(), upload->countOfBytesExpectedToSend());
  ASSERT_TRUE(MainQueue::runUntil([&] { return recorder->completions == 3; }, 30s));
}

// A variable of the environment changes no timeout: the library reads none of its tests'.
[[maybe_unused]] const int kStrayVariable = ::setenv("LUMO_TEST_IDLE_TIMEOUT_MS", "600000", 1);

// Idle transfers time out after the shortest interval, rounded up to a second.
TEST_F(HttpSessionTest, FailuresGetTheirCodesIdleTransfersIncluded) {
  HttpSessionConfiguration config;
  config.timeoutIntervalForRequest = 1s;
  auto plain = HttpSession::make(), idle = HttpSession::make(config);
  config.maximumIdleTimeout = 500ms;  // cuts even a request's own interval short
  auto capped = HttpSession::make(config);
  const std::string root = Url::resolve("/__dev__/", base_)->absoluteString();
  namespace E = URLErrorCode;
  // clang-format off
  const std::tuple<std::shared_ptr<HttpSession>, std::string, int> cases[] = {
      {idle, root + "stall?seconds=30", E::kTimedOut}, {idle, root + "delay/30000", E::kTimedOut},
      {capped, root + "stall?seconds=30", E::kTimedOut}, {plain, "http://127.0.0.1:1/", E::kCannotConnectToHost},
      {plain, root + "drop", E::kNetworkConnectionLost}, {plain, root + "closenow", E::kNetworkConnectionLost},
      {plain, "http://no-such-host.invalid/", E::kCannotFindHost}, {plain, "ftp://127.0.0.1/x", E::kUnsupportedURL},
      {plain, "file:///etc/hostname", E::kUnsupportedURL}};
  // clang-format on
  for (const auto& [session, url, code] : cases) {
    SCOPED_TRACE(url);
    HttpRequest request(*Url::parse(url));
    if (session == capped) request.timeoutInterval = 60s;
    const Outcome out = perform(session, request, 20s);
    ASSERT_TRUE(out.error);
    EXPECT_EQ(out.error->domain(), kURLErrorDomain);
    EXPECT_EQ(out.error->code(), code) << out.error->localizedDescription();
    EXPECT_TRUE(code != E::kTimedOut ||
                out.error->localizedDescription().find("timed out") != std::string::npos);
    EXPECT_FALSE(out.response || out.body);
  }
  HttpRequest patient = dev("delay/1500");  // the request's own interval wins over the session's
  patient.timeoutInterval = 5s;
  EXPECT_FALSE(perform(idle, patient).error);
}

TEST_F(HttpSessionTest, InvalidateAndCancelLeavesNothingBehind) {
  std::size_t threads = 0, fds = 0;
  for (int round = 0; round < 2; ++round) {
    auto recorder = std::make_shared<Recorder>();
    auto session = HttpSession::make({}, recorder);
    std::vector<std::future<Outcome>> futures;
    std::vector<std::shared_ptr<HttpTask>> tasks;
    for (int i = 0; i < 21; ++i) {
      auto [completion, future] = capture();
      tasks.push_back(session->dataTask(dev("delay/20000"), std::move(completion)));
      if (i) tasks.back()->resume();  // one stays suspended
      futures.push_back(std::move(future));
    }
    std::this_thread::sleep_for(200ms);  // usually under way by then; cancelled either way
    session->invalidateAndCancel();
    for (auto& future : futures) EXPECT_TRUE(await(future, 30s).error->isURLCancelled());
    ASSERT_TRUE(
        MainQueue::runUntil([&] { return recorder->completionsAtInvalidation == 21; }, 30s));
    EXPECT_FALSE(session->delegate());
    auto [lateCompletion, late] = capture();  // a task made after invalidation: cancelled
    session->dataTask(dev("echo"), std::move(lateCompletion))->resume();
    EXPECT_TRUE(await(late, 30s).error->isURLCancelled());
    ASSERT_TRUE(MainQueue::runUntil([] { return HttpSession::stats().liveTransfers == 0; }, 30s));
    EXPECT_EQ(HttpSession::stats().networkThreads, 1u);
    // Later rounds add no threads (the dispatch pool may keep a few idle ones, and settles in
    // the first round) and no file descriptors.
    if (round == 0) {
      threads = entriesIn("/proc/self/task");
      fds = entriesIn("/proc/self/fd");
    }
    EXPECT_LE(entriesIn("/proc/self/task"), threads + 2);
    EXPECT_LE(entriesIn("/proc/self/fd"), fds);
  }
}

}  // namespace
}  // namespace lumo
