#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "lumo/platform/HttpSession.h"

namespace lumo {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kMiB = 1024 * 1024;

// ---- helpers ----

std::string md5Hex(const std::uint8_t* data, std::size_t size) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(data, size, digest, &length, EVP_md5(), nullptr);
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < length; ++i) {
    out += hex[digest[i] >> 4];
    out += hex[digest[i] & 0xF];
  }
  return out;
}

// Byte i of the reference service's /bytes/<n> answers.
Bytes pattern(std::size_t n, std::size_t start = 0) {
  Bytes out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>((start + i) % 251);
  return out;
}

struct Outcome {
  std::optional<HttpResponse> response;
  std::optional<Bytes> body;
  std::optional<Error> error;
  bool arrived = false;

  nlohmann::json json() const {
    if (!body) return nullptr;
    return nlohmann::json::parse(body->begin(), body->end(), nullptr, false);
  }
};

// A completion handler that fulfils a future.
std::pair<HttpTask::CompletionHandler, std::future<Outcome>> capture() {
  auto promise = std::make_shared<std::promise<Outcome>>();
  auto future = promise->get_future();
  return {
      [promise](auto response, auto body, auto error) {
        promise->set_value(Outcome{std::move(response), std::move(body), std::move(error), true});
      },
      std::move(future)};
}

Outcome await(std::future<Outcome>& future, std::chrono::seconds limit = 60s) {
  if (future.wait_for(limit) != std::future_status::ready) {
    ADD_FAILURE() << "the task did not complete within " << limit.count() << " s";
    return {};
  }
  return future.get();
}

Outcome perform(const std::shared_ptr<HttpSession>& session, HttpRequest request,
                std::chrono::seconds limit = 60s) {
  auto [completion, future] = capture();
  session->dataTask(std::move(request), std::move(completion))->resume();
  return await(future, limit);
}

// Records a session's delegate events and the queue they arrive on.
class Recorder : public HttpSessionDelegate {
 public:
  struct Progress {
    std::int64_t sent, total, expected;
  };

  explicit Recorder(std::optional<DispatchQueue> expectedQueue = std::nullopt)
      : expectedQueue_(std::move(expectedQueue)) {}

  void didSendBodyData(HttpSession&, const std::shared_ptr<HttpTask>& task, std::int64_t sent,
                       std::int64_t total, std::int64_t expected) override {
    checkQueue();
    std::function<void(const std::shared_ptr<HttpTask>&)> hook;
    {
      std::lock_guard lock(mu_);
      progress_.push_back({sent, total, expected});
      hook = onProgress;
    }
    if (hook) hook(task);
  }
  void didCompleteWithError(HttpSession&, const std::shared_ptr<HttpTask>&,
                            const std::optional<Error>& error) override {
    checkQueue();
    std::lock_guard lock(mu_);
    ++completions_;
    errors_.push_back(error);
  }
  void didBecomeInvalidWithError(HttpSession&, const std::optional<Error>&) override {
    checkQueue();
    std::lock_guard lock(mu_);
    ++invalidations_;
    completionsAtInvalidation_ = completions_;
  }

  std::vector<Progress> progress() const {
    std::lock_guard lock(mu_);
    return progress_;
  }
  int completions() const {
    std::lock_guard lock(mu_);
    return completions_;
  }
  int invalidations() const {
    std::lock_guard lock(mu_);
    return invalidations_;
  }
  int completionsAtInvalidation() const {
    std::lock_guard lock(mu_);
    return completionsAtInvalidation_;
  }
  int wrongQueue() const { return wrongQueue_.load(); }

  std::function<void(const std::shared_ptr<HttpTask>&)> onProgress;  // set before use

 private:
  void checkQueue() {
    if (expectedQueue_ && !expectedQueue_->isCurrent()) ++wrongQueue_;
  }

  const std::optional<DispatchQueue> expectedQueue_;
  std::atomic<int> wrongQueue_{0};
  mutable std::mutex mu_;
  std::vector<Progress> progress_;            // guarded by mu_
  std::vector<std::optional<Error>> errors_;  // guarded by mu_
  int completions_ = 0;                       // guarded by mu_
  int invalidations_ = 0;                     // guarded by mu_
  int completionsAtInvalidation_ = -1;        // guarded by mu_
};

// A file of `size` pattern bytes in a fresh temporary folder.
class TempFile {
 public:
  explicit TempFile(std::size_t size, std::size_t start = 0) {
    path_ = std::filesystem::temp_directory_path() /
            ("lumo-http-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++));
    std::ofstream out(path_, std::ios::binary);
    constexpr std::size_t kChunk = 4 * kMiB;
    for (std::size_t done = 0; done < size; done += kChunk) {
      const Bytes chunk = pattern(std::min(kChunk, size - done), start + done);
      out.write(reinterpret_cast<const char*>(chunk.data()),
                static_cast<std::streamsize>(chunk.size()));
    }
  }
  ~TempFile() { std::filesystem::remove(path_); }
  const std::filesystem::path& path() const { return path_; }

 private:
  static inline std::atomic<int> counter_{0};
  std::filesystem::path path_;
};

bool isOpenInProcess(const std::filesystem::path& file) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (std::filesystem::read_symlink(entry.path(), ec) == file) return true;
  }
  return false;
}

std::size_t entriesIn(const char* folder) {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) ++count;
  return count;
}

// A loopback port on which nothing listens.
int closedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t length = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
  ::close(fd);
  return ntohs(addr.sin_port);
}

bool reachable(const Url& base) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(base.port().value_or(80)));
  ::inet_pton(AF_INET, base.host() == "localhost" ? "127.0.0.1" : base.host().c_str(),
              &addr.sin_addr);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

class HttpSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* base = std::getenv("LUMO_API_BASE");
    std::optional<Url> url = base ? Url::parse(base) : std::nullopt;
    if (!url || !reachable(*url)) {
      FAIL() << "the reference service is not running (LUMO_API_BASE=" << (base ? base : "unset")
             << "); run: eval \"$(scripts/devstack start)\"";
    }
    base_ = *url;
  }

  HttpRequest dev(const std::string& route, std::string method = "GET") const {
    return HttpRequest(*Url::resolve("/__dev__/" + route, *base_), std::move(method));
  }

  std::optional<Url> base_;
};

// ---- answers ----

TEST_F(HttpSessionTest, EveryStatusClassCompletesWithoutError) {
  auto session = HttpSession::make();
  for (int code : {200, 201, 204, 299, 304, 400, 401, 404, 418, 500, 503}) {
    const Outcome out = perform(session, dev("status/" + std::to_string(code)));
    ASSERT_TRUE(out.arrived);
    EXPECT_FALSE(out.error) << code << ": " << out.error->localizedDescription();
    ASSERT_TRUE(out.response) << code;
    EXPECT_EQ(out.response->statusCode, code);
    ASSERT_TRUE(out.body);
    if (code == 204 || code == 304) {
      EXPECT_TRUE(out.body->empty()) << code;
    }
  }
}

TEST_F(HttpSessionTest, HeaderFieldsAreSentAndReceived) {
  HttpSessionConfiguration config;
  config.httpAdditionalHeaders = {{"X-Session", "from-session"}, {"X-Both", "session"}};
  auto session = HttpSession::make(config);
  HttpRequest request = dev("echo?a=1&b=two%20words&flag", "POST");
  request.setValue("application/json", "Content-Type");
  request.setValue("ApiKey secret", "Authorization");
  request.setValue("request", "x-both");
  request.setValue("", "X-Empty");
  request.body = Bytes{'{', '}'};
  const Outcome out = perform(session, request);
  ASSERT_TRUE(out.response);
  EXPECT_EQ(out.response->statusCode, 200);
  EXPECT_EQ(out.response->value("content-type"), "application/json");
  EXPECT_EQ(out.response->expectedContentLength(), static_cast<std::int64_t>(out.body->size()));

  const auto echo = out.json();
  EXPECT_EQ(echo["method"], "POST");
  EXPECT_EQ(echo["query"], "a=1&b=two%20words&flag");
  const auto& headers = echo["headers"];
  EXPECT_EQ(headers["content-type"], "application/json");
  EXPECT_EQ(headers["authorization"], "ApiKey secret");
  EXPECT_EQ(headers["x-session"], "from-session");
  EXPECT_EQ(headers["x-both"], "request");
  EXPECT_EQ(headers["x-empty"], "");
  EXPECT_EQ(headers["content-length"], "2");
  EXPECT_FALSE(headers.contains("expect"));
  EXPECT_FALSE(headers.contains("transfer-encoding"));
  EXPECT_EQ(echo["body_size"], 2);
}

TEST_F(HttpSessionTest, NoContentTypeUnlessTheCallerSetsOne) {
  auto session = HttpSession::make();
  HttpRequest request = dev("echo", "PUT");
  request.body = Bytes(10, 'x');
  const auto echo = perform(session, request).json();
  EXPECT_EQ(echo["method"], "PUT");
  EXPECT_FALSE(echo["headers"].contains("content-type"));
  EXPECT_EQ(echo["body_size"], 10);
}

TEST_F(HttpSessionTest, EmptyBodies) {
  auto session = HttpSession::make();
  const Outcome none = perform(session, dev("bytes/0"));
  ASSERT_TRUE(none.body);
  EXPECT_TRUE(none.body->empty());
  EXPECT_EQ(none.response->statusCode, 200);

  HttpRequest post = dev("echo", "POST");
  post.body = Bytes{};
  const auto echo = perform(session, post).json();
  EXPECT_EQ(echo["body_size"], 0);
  EXPECT_EQ(echo["headers"]["content-length"], "0");

  const auto bare = perform(session, dev("echo", "POST")).json();
  EXPECT_EQ(bare["headers"]["content-length"], "0");
}

TEST_F(HttpSessionTest, HundredMebibyteBodiesBothWays) {
  auto session = HttpSession::make();
  const std::size_t size = 100 * kMiB;
  const Outcome down = perform(session, dev("bytes/" + std::to_string(size)), 300s);
  ASSERT_TRUE(down.body);
  ASSERT_EQ(down.body->size(), size);
  EXPECT_TRUE(*down.body == pattern(size));

  HttpRequest up = dev("echo", "POST");
  up.setValue("application/octet-stream", "Content-Type");
  up.body = pattern(size, 7);
  const std::string expectedMd5 = md5Hex(up.body->data(), size);
  const auto echo = perform(session, up, 300s).json();
  EXPECT_EQ(echo["body_size"], size);
  EXPECT_EQ(echo["body_md5"], expectedMd5);
}

TEST_F(HttpSessionTest, HeadAsksForTheHeaderOnly) {
  auto session = HttpSession::make();
  const Outcome out = perform(session, dev("bytes/5000", "HEAD"));
  ASSERT_TRUE(out.response);
  EXPECT_EQ(out.response->statusCode, 200);
  EXPECT_EQ(out.response->expectedContentLength(), 5000);
  ASSERT_TRUE(out.body);
  EXPECT_TRUE(out.body->empty());
}

// ---- uploads ----

TEST_F(HttpSessionTest, UploadStreamsPartsWithContentLengthAndReportsProgress) {
  const TempFile file(30 * kMiB);
  auto recorder = std::make_shared<Recorder>();
  auto session = HttpSession::make({}, recorder);
  const std::string head = "--B\r\nContent-Disposition: form-data; name=\"file\"\r\n\r\n";
  const std::string tail = "\r\n--B--";
  HttpRequest request = dev("echo");
  request.setValue("multipart/form-data; boundary=B", "Content-Type");
  auto [completion, future] = capture();
  auto task = session->uploadTask(
      request, HttpBody().appendBytes(head).appendFile(file.path()).appendBytes(tail),
      std::move(completion));
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
  EXPECT_FALSE(echo["headers"].contains("transfer-encoding"));
  EXPECT_EQ(echo["body_md5"], md5Hex(whole.data(), whole.size()));

  // Progress: increasing totals that add up and end at the expected size, before completion.
  ASSERT_TRUE(MainQueue::runUntil([&] { return recorder->completions() == 1; }, 10000ms));
  const auto progress = recorder->progress();
  ASSERT_FALSE(progress.empty());
  std::int64_t sum = 0, last = 0;
  for (const auto& p : progress) {
    sum += p.sent;
    EXPECT_GT(p.total, last);
    EXPECT_EQ(p.total, sum);
    EXPECT_EQ(p.expected, total);
    last = p.total;
  }
  EXPECT_EQ(last, total);
  EXPECT_EQ(task->countOfBytesSent(), total);
  EXPECT_EQ(task->state(), HttpTask::State::completed);
  EXPECT_FALSE(isOpenInProcess(file.path()));
}

TEST_F(HttpSessionTest, UploadOfAMissingFileFailsWhenResumed) {
  auto session = HttpSession::make();
  auto [completion, future] = capture();
  session
      ->uploadTask(dev("echo"), std::filesystem::path("/nonexistent/file.png"),
                   std::move(completion))
      ->resume();
  const Outcome out = await(future);
  ASSERT_TRUE(out.error);
  EXPECT_EQ(out.error->domain(), kURLErrorDomain);
  EXPECT_EQ(out.error->code(), URLErrorCode::kFileDoesNotExist);
  EXPECT_NE(out.error->localizedDescription().find("/nonexistent/file.png"), std::string::npos);
}

// ---- cancel ----

TEST_F(HttpSessionTest, CancelBeforeStartCompletesOnceAsCancelled) {
  auto recorder = std::make_shared<Recorder>();
  auto session = HttpSession::make({}, recorder);
  std::atomic<int> calls{0};
  auto [completion, future] = capture();
  auto task =
      session->dataTask(dev("echo"), [&calls, completion = completion](auto r, auto b, auto e) {
        ++calls;
        completion(std::move(r), std::move(b), std::move(e));
      });
  task->cancel();
  task->resume();  // too late: nothing more happens
  task->cancel();
  const Outcome out = await(future);
  ASSERT_TRUE(out.error);
  EXPECT_TRUE(out.error->isURLCancelled());
  EXPECT_EQ(out.error->localizedDescription(), "cancelled");
  EXPECT_FALSE(out.response);
  ASSERT_TRUE(MainQueue::runUntil([&] { return recorder->completions() == 1; }, 5000ms));
  MainQueue::runFor(100ms);
  EXPECT_EQ(calls.load(), 1);
  EXPECT_EQ(recorder->completions(), 1);
  EXPECT_EQ(task->state(), HttpTask::State::completed);
}

TEST_F(HttpSessionTest, CancelDuringRequest) {
  auto session = HttpSession::make();
  auto [completion, future] = capture();
  auto task = session->dataTask(dev("delay/20000"), std::move(completion));
  task->resume();
  std::this_thread::sleep_for(300ms);
  task->cancel();
  const Outcome out = await(future, 10s);
  ASSERT_TRUE(out.error);
  EXPECT_TRUE(out.error->isURLCancelled());
  EXPECT_EQ(task->error(), out.error);
}

TEST_F(HttpSessionTest, CancelDuringUpload) {
  const TempFile file(64 * kMiB);
  auto recorder = std::make_shared<Recorder>();
  recorder->onProgress = [](const std::shared_ptr<HttpTask>& task) { task->cancel(); };
  auto session = HttpSession::make({}, recorder);
  auto [completion, future] = capture();
  auto task = session->uploadTask(dev("echo"), file.path(), std::move(completion));
  task->resume();
  const Outcome out = await(future, 60s);
  ASSERT_TRUE(out.error);
  EXPECT_TRUE(out.error->isURLCancelled());
  EXPECT_LT(task->countOfBytesSent(), task->countOfBytesExpectedToSend());
  ASSERT_TRUE(MainQueue::runUntil([&] { return recorder->completions() == 1; }, 5000ms));
  EXPECT_FALSE(isOpenInProcess(file.path()));
}

// ---- transport failures ----

TEST_F(HttpSessionTest, IdleTimeout) {
  HttpSessionConfiguration config;
  config.timeoutIntervalForRequest = 1s;
  auto session = HttpSession::make(config);
  for (const char* route : {"stall?seconds=30", "delay/30000"}) {
    const Outcome out = perform(session, dev(route), 20s);
    ASSERT_TRUE(out.error) << route;
    EXPECT_EQ(out.error->domain(), kURLErrorDomain);
    EXPECT_EQ(out.error->code(), URLErrorCode::kTimedOut) << out.error->localizedDescription();
    EXPECT_NE(out.error->localizedDescription().find("timed out"), std::string::npos);
    EXPECT_FALSE(out.response);
  }
  // The request's own interval wins over the session's.
  HttpRequest patient = dev("delay/1500");
  patient.timeoutInterval = 5s;
  EXPECT_FALSE(perform(session, patient).error);
}

TEST_F(HttpSessionTest, ConnectionFailuresGetTheirCodes) {
  auto session = HttpSession::make();
  struct Case {
    std::string url;
    int code;
  };
  const std::string closed = "http://127.0.0.1:" + std::to_string(closedPort()) + "/";
  for (const Case& c : {Case{closed, URLErrorCode::kCannotConnectToHost},
                        Case{Url::resolve("/__dev__/drop", *base_)->absoluteString(),
                             URLErrorCode::kNetworkConnectionLost},
                        Case{Url::resolve("/__dev__/closenow", *base_)->absoluteString(),
                             URLErrorCode::kNetworkConnectionLost},
                        Case{"http://no-such-host.invalid/", URLErrorCode::kCannotFindHost},
                        Case{"ftp://127.0.0.1/x", URLErrorCode::kUnsupportedURL},
                        Case{"file:///etc/hostname", URLErrorCode::kUnsupportedURL}}) {
    const Outcome out = perform(session, HttpRequest(*Url::parse(c.url)), 30s);
    ASSERT_TRUE(out.error) << c.url;
    EXPECT_EQ(out.error->domain(), kURLErrorDomain);
    EXPECT_EQ(out.error->code(), c.code) << c.url << ": " << out.error->localizedDescription();
    EXPECT_FALSE(out.error->localizedDescription().empty());
    EXPECT_FALSE(out.response);
    EXPECT_FALSE(out.body);
  }
}

TEST_F(HttpSessionTest, InvalidHeaderFieldFailsTheTask) {
  auto session = HttpSession::make();
  HttpRequest request = dev("echo");
  request.setValue("a\r\nInjected: yes", "X-Bad");
  const Outcome out = perform(session, request);
  ASSERT_TRUE(out.error);
  EXPECT_EQ(out.error->code(), URLErrorCode::kBadURL);
}

// ---- delivery ----

TEST_F(HttpSessionTest, CallbacksRunOnTheRequestedQueue) {
  const TempFile file(2 * kMiB);
  DispatchQueue queue("test.delivery");
  auto recorder = std::make_shared<Recorder>(queue);
  auto session = HttpSession::make({}, recorder, queue);
  auto [completion, future] = capture();
  std::atomic<bool> onQueue{false};
  session
      ->uploadTask(dev("echo"), file.path(),
                   [&onQueue, queue, completion = completion](auto r, auto b, auto e) {
                     onQueue = queue.isCurrent();
                     completion(std::move(r), std::move(b), std::move(e));
                   })
      ->resume();
  await(future);
  EXPECT_TRUE(onQueue);
  ASSERT_TRUE(MainQueue::runUntil([&] { return recorder->completions() == 1; }, 5000ms));
  EXPECT_FALSE(recorder->progress().empty());
  EXPECT_EQ(recorder->wrongQueue(), 0);
}

TEST_F(HttpSessionTest, CallbacksRunOnTheMainQueue) {
  const TempFile file(2 * kMiB);
  auto recorder = std::make_shared<Recorder>(DispatchQueue::main());
  auto session = HttpSession::make({}, recorder, DispatchQueue::main());
  bool done = false;
  bool onMain = false;
  session
      ->uploadTask(dev("echo"), file.path(),
                   [&](auto, auto, auto error) {
                     EXPECT_FALSE(error);
                     onMain = DispatchQueue::isMainThread();
                     done = true;
                   })
      ->resume();
  ASSERT_TRUE(MainQueue::runUntil([&] { return done && recorder->completions() == 1; }, 30000ms));
  EXPECT_TRUE(onMain);
  EXPECT_FALSE(recorder->progress().empty());
  EXPECT_EQ(recorder->wrongQueue(), 0);
}

TEST_F(HttpSessionTest, TwoHundredConcurrentTransfers) {
  auto session = HttpSession::make();
  constexpr int kCount = 200;
  std::vector<std::future<Outcome>> futures;
  std::vector<std::shared_ptr<HttpTask>> tasks;
  for (int i = 0; i < kCount; ++i) {
    auto [completion, future] = capture();
    const std::size_t size = 1000 + static_cast<std::size_t>(i) * 997;
    tasks.push_back(session->dataTask(dev("bytes/" + std::to_string(size)), std::move(completion)));
    futures.push_back(std::move(future));
  }
  for (auto& task : tasks) task->resume();
  for (int i = 0; i < kCount; ++i) {
    const Outcome out = await(futures[static_cast<std::size_t>(i)], 120s);
    ASSERT_FALSE(out.error) << i << ": " << out.error->localizedDescription();
    const std::size_t size = 1000 + static_cast<std::size_t>(i) * 997;
    ASSERT_EQ(out.body->size(), size) << i;
    EXPECT_TRUE(*out.body == pattern(size)) << i;
  }
  // Identifiers are unique and increase in creation order.
  for (std::size_t i = 1; i < tasks.size(); ++i) {
    EXPECT_GT(tasks[i]->taskIdentifier(), tasks[i - 1]->taskIdentifier());
  }
}

TEST_F(HttpSessionTest, InvalidateAndCancelLeavesNothingBehind) {
  std::size_t threadsAfterFirstRound = 0;
  std::size_t fdsAfterFirstRound = 0;
  for (int round = 0; round < 4; ++round) {
    auto recorder = std::make_shared<Recorder>();
    auto session = HttpSession::make({}, recorder);
    std::vector<std::future<Outcome>> futures;
    for (int i = 0; i < 20; ++i) {
      auto [completion, future] = capture();
      session->dataTask(dev("delay/20000"), std::move(completion))->resume();
      futures.push_back(std::move(future));
    }
    auto [suspendedCompletion, suspended] = capture();
    auto idle = session->dataTask(dev("echo"), std::move(suspendedCompletion));
    std::this_thread::sleep_for(200ms);
    session->invalidateAndCancel();
    for (auto& future : futures) {
      const Outcome out = await(future, 10s);
      ASSERT_TRUE(out.error);
      EXPECT_TRUE(out.error->isURLCancelled());
    }
    EXPECT_TRUE(await(suspended, 10s).error->isURLCancelled());
    ASSERT_TRUE(MainQueue::runUntil([&] { return recorder->invalidations() == 1; }, 10000ms));
    EXPECT_EQ(recorder->completionsAtInvalidation(), 21);
    EXPECT_FALSE(session->delegate());

    // A task made after invalidation fails as cancelled.
    auto [lateCompletion, late] = capture();
    session->dataTask(dev("echo"), std::move(lateCompletion))->resume();
    EXPECT_TRUE(await(late, 10s).error->isURLCancelled());

    ASSERT_TRUE(
        MainQueue::runUntil([] { return HttpSession::stats().liveTransfers == 0; }, 5000ms));
    EXPECT_EQ(HttpSession::stats().networkThreads, 1u);
    // Rounds after the first add no threads (the dispatch pool may keep a few idle ones, and
    // settles in the first round) and no file descriptors.
    if (round == 0) {
      threadsAfterFirstRound = entriesIn("/proc/self/task");
      fdsAfterFirstRound = entriesIn("/proc/self/fd");
    } else {
      EXPECT_LE(entriesIn("/proc/self/task"), threadsAfterFirstRound + 2);
      EXPECT_LE(entriesIn("/proc/self/fd"), fdsAfterFirstRound);
    }
  }
}

}  // namespace
}  // namespace lumo
