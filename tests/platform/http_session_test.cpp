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
Bytes pattern(std::size_t n, std::size_t start = 0) {
  Bytes out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>((start + i) % 251);
  return out;
}

struct Outcome {
  std::optional<HttpResponse> response;
  std::optional<Bytes> body;
  std::optional<Error> error;

  nlohmann::json json() const {
    if (!body) return nullptr;
    return nlohmann::json::parse(body->begin(), body->end(), nullptr, false);
  }
};

// A completion handler that fulfils a future.
std::pair<HttpTask::CompletionHandler, std::future<Outcome>> capture() {
  auto promise = std::make_shared<std::promise<Outcome>>();
  auto future = promise->get_future();
  return {[promise](auto response, auto body, auto error) {
            promise->set_value(Outcome{std::move(response), std::move(body), std::move(error)});
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

// Records a session's delegate events and whether they arrive on the expected queue.
class Recorder : public HttpSessionDelegate {
 public:
  struct Progress {
    std::int64_t sent, total, expected;
  };

  explicit Recorder(std::optional<DispatchQueue> queue = std::nullopt) : queue_(std::move(queue)) {}

  void didSendBodyData(HttpSession&, const std::shared_ptr<HttpTask>& task, std::int64_t sent,
                       std::int64_t total, std::int64_t expected) override {
    checkQueue();
    {
      std::lock_guard lock(mu_);
      progress_.push_back({sent, total, expected});
    }
    if (cancelOnProgress) task->cancel();
  }
  void didCompleteWithError(HttpSession&, const std::shared_ptr<HttpTask>&,
                            const std::optional<Error>&) override {
    checkQueue();
    ++completions;
  }
  void didBecomeInvalidWithError(HttpSession&, const std::optional<Error>&) override {
    checkQueue();
    completionsAtInvalidation = completions.load();
    ++invalidations;
  }
  std::vector<Progress> progress() const {
    std::lock_guard lock(mu_);
    return progress_;
  }

  bool cancelOnProgress = false;  // set before use
  std::atomic<int> completions{0}, invalidations{0}, completionsAtInvalidation{-1}, wrongQueue{0};

 private:
  void checkQueue() {
    if (queue_ && !queue_->isCurrent()) ++wrongQueue;
  }

  const std::optional<DispatchQueue> queue_;
  mutable std::mutex mu_;
  std::vector<Progress> progress_;  // guarded by mu_
};

// A file of `size` pattern bytes, removed at the end.
class TempFile {
 public:
  explicit TempFile(std::size_t size) {
    static std::atomic<int> counter{0};
    path_ = std::filesystem::temp_directory_path() /
            ("lumo-http-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    const Bytes bytes = pattern(size);
    std::ofstream(path_, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(size));
  }
  ~TempFile() { std::filesystem::remove(path_); }
  const std::filesystem::path& path() const { return path_; }

 private:
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
  const std::filesystem::directory_iterator it(folder);
  return static_cast<std::size_t>(std::distance(begin(it), end(it)));
}

// Connects to 127.0.0.1:`port` (binding it instead when `bindOnly`); gives the port bound.
int loopback(int port, bool bindOnly, bool* connected = nullptr) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof addr;
  if (bindOnly) {
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
  } else {
    *connected = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  ::close(fd);
  return ntohs(addr.sin_port);
}

class HttpSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* base = std::getenv("LUMO_API_BASE");
    std::optional<Url> url = base ? Url::parse(base) : std::nullopt;
    bool up = false;
    if (url) loopback(url->port().value_or(80), false, &up);
    if (!up) {
      FAIL() << "the reference service is not running on the loopback (LUMO_API_BASE="
             << (base ? base : "unset") << "); run: eval \"$(scripts/devstack start)\"";
    }
    base_ = *url;
  }

  HttpRequest dev(const std::string& route, std::string method = "GET") const {
    return HttpRequest(*Url::resolve("/__dev__/" + route, *base_), std::move(method));
  }

  std::optional<Url> base_;
};

TEST_F(HttpSessionTest, EveryStatusClassCompletesWithoutErrorAndHeadHasNoBody) {
  auto session = HttpSession::make();
  for (int code : {200, 201, 204, 299, 304, 400, 401, 404, 418, 500, 503}) {
    const Outcome out = perform(session, dev("status/" + std::to_string(code)));
    EXPECT_FALSE(out.error) << code << ": " << out.error->localizedDescription();
    ASSERT_TRUE(out.response && out.body) << code;
    EXPECT_EQ(out.response->statusCode, code);
    EXPECT_TRUE((code != 204 && code != 304) || out.body->empty()) << code;
  }
  const Outcome head = perform(session, dev("bytes/5000", "HEAD"));
  ASSERT_TRUE(head.response && head.body);
  EXPECT_EQ(head.response->statusCode, 200);
  EXPECT_EQ(head.response->expectedContentLength(), 5000);
  EXPECT_TRUE(head.body->empty());
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

  // A field that would smuggle in another line fails the task.
  request.setValue("a\r\nInjected: yes", "X-Bad");
  const Outcome bad = perform(session, request);
  ASSERT_TRUE(bad.error);
  EXPECT_EQ(bad.error->code(), URLErrorCode::kBadURL);
}

TEST_F(HttpSessionTest, EmptyBodiesAndNoContentTypeUnlessSet) {
  auto session = HttpSession::make();
  const Outcome none = perform(session, dev("bytes/0"));
  ASSERT_TRUE(none.body && none.response);
  EXPECT_TRUE(none.body->empty());
  EXPECT_EQ(none.response->statusCode, 200);

  HttpRequest post = dev("echo", "POST");
  post.body = Bytes{};
  const auto echo = perform(session, post).json();
  EXPECT_EQ(echo["body_size"], 0);
  EXPECT_EQ(echo["headers"]["content-length"], "0");
  EXPECT_EQ(perform(session, dev("echo", "POST")).json()["headers"]["content-length"], "0");

  HttpRequest put = dev("echo", "PUT");
  put.body = Bytes(10, 'x');
  const auto putEcho = perform(session, put).json();
  EXPECT_EQ(putEcho["method"], "PUT");
  EXPECT_FALSE(putEcho["headers"].contains("content-type"));
  EXPECT_EQ(putEcho["body_size"], 10);
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
  const std::string expectedMd5 = md5Hex(*up.body);
  const auto echo = perform(session, up, 300s).json();
  EXPECT_EQ(echo["body_size"], size);
  EXPECT_EQ(echo["body_md5"], expectedMd5);
}

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
  EXPECT_EQ(echo["body_md5"], md5Hex(whole));

  // Progress: increasing totals that add up and end at the expected size, before completion.
  ASSERT_TRUE(MainQueue::runUntil([&] { return recorder->completions == 1; }, 10000ms));
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

  // A file that is not there fails the upload when it is resumed, naming the file.
  auto [missingCompletion, missing] = capture();
  session
      ->uploadTask(dev("echo"), std::filesystem::path("/nonexistent/file.png"),
                   std::move(missingCompletion))
      ->resume();
  const Outcome gone = await(missing);
  ASSERT_TRUE(gone.error);
  EXPECT_EQ(gone.error->domain(), kURLErrorDomain);
  EXPECT_EQ(gone.error->code(), URLErrorCode::kFileDoesNotExist);
  EXPECT_NE(gone.error->localizedDescription().find("/nonexistent/file.png"), std::string::npos);
}

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
  ASSERT_TRUE(MainQueue::runUntil([&] { return recorder->completions == 1; }, 5000ms));
  MainQueue::runFor(100ms);
  EXPECT_EQ(calls.load(), 1);
  EXPECT_EQ(recorder->completions, 1);
  EXPECT_EQ(task->state(), HttpTask::State::completed);
}

TEST_F(HttpSessionTest, CancelDuringRequestAndDuringUpload) {
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

  const TempFile file(64 * kMiB);
  auto recorder = std::make_shared<Recorder>();
  recorder->cancelOnProgress = true;
  auto uploads = HttpSession::make({}, recorder);
  auto [uploadCompletion, uploaded] = capture();
  auto upload = uploads->uploadTask(dev("echo"), file.path(), std::move(uploadCompletion));
  upload->resume();
  const Outcome cut = await(uploaded);
  ASSERT_TRUE(cut.error);
  EXPECT_TRUE(cut.error->isURLCancelled());
  EXPECT_LT(upload->countOfBytesSent(), upload->countOfBytesExpectedToSend());
  ASSERT_TRUE(MainQueue::runUntil([&] { return recorder->completions == 1; }, 5000ms));
  EXPECT_FALSE(isOpenInProcess(file.path()));
}

// A variable of the environment changes no timeout: the library reads none of its tests'.
[[maybe_unused]] const int kStrayVariable = ::setenv("LUMO_TEST_IDLE_TIMEOUT_MS", "600000", 1);

TEST_F(HttpSessionTest, IdleTimeout) {
  HttpSessionConfiguration config;
  config.timeoutIntervalForRequest = 1s;
  auto session = HttpSession::make(config);
  config.maximumIdleTimeout = 1s;  // cuts even a request's own interval short
  auto capped = HttpSession::make(config);
  for (const auto& [from, route] :
       {std::pair(session, "stall?seconds=30"), std::pair(session, "delay/30000"),
        std::pair(capped, "delay/30000")}) {
    HttpRequest request = dev(route);
    if (from == capped) request.timeoutInterval = 60s;
    const Outcome out = perform(from, request, 20s);
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
  const std::string closed = "http://127.0.0.1:" + std::to_string(loopback(0, true)) + "/";
  const std::string dev = Url::resolve("/__dev__/", *base_)->absoluteString();
  const std::pair<std::string, int> cases[] = {
      {closed, URLErrorCode::kCannotConnectToHost},
      {dev + "drop", URLErrorCode::kNetworkConnectionLost},
      {dev + "closenow", URLErrorCode::kNetworkConnectionLost},
      {"http://no-such-host.invalid/", URLErrorCode::kCannotFindHost},
      {"ftp://127.0.0.1/x", URLErrorCode::kUnsupportedURL},
      {"file:///etc/hostname", URLErrorCode::kUnsupportedURL}};
  for (const auto& [url, code] : cases) {
    const Outcome out = perform(session, HttpRequest(*Url::parse(url)), 30s);
    ASSERT_TRUE(out.error) << url;
    EXPECT_EQ(out.error->domain(), kURLErrorDomain);
    EXPECT_EQ(out.error->code(), code) << url << ": " << out.error->localizedDescription();
    EXPECT_FALSE(out.error->localizedDescription().empty());
    EXPECT_FALSE(out.response);
    EXPECT_FALSE(out.body);
  }
}

TEST_F(HttpSessionTest, CallbacksRunOnTheRequestedQueueMainQueueIncluded) {
  const TempFile file(2 * kMiB);
  for (const DispatchQueue& queue : {DispatchQueue("test.delivery"), DispatchQueue::main()}) {
    auto recorder = std::make_shared<Recorder>(queue);
    auto session = HttpSession::make({}, recorder, queue);
    std::atomic<bool> done{false}, onQueue{false};
    session
        ->uploadTask(dev("echo"), file.path(),
                     [&, queue](auto, auto, auto error) {
                       EXPECT_FALSE(error);
                       onQueue = queue.isCurrent();
                       done = true;
                     })
        ->resume();
    ASSERT_TRUE(MainQueue::runUntil([&] { return done && recorder->completions == 1; }, 30000ms));
    EXPECT_TRUE(onQueue);
    EXPECT_FALSE(recorder->progress().empty());
    EXPECT_EQ(recorder->wrongQueue, 0);
  }
}

TEST_F(HttpSessionTest, TwoHundredConcurrentTransfers) {
  auto session = HttpSession::make();
  constexpr int kCount = 200;
  auto sizeOf = [](int i) { return 1000 + static_cast<std::size_t>(i) * 997; };
  std::vector<std::future<Outcome>> futures;
  std::vector<std::shared_ptr<HttpTask>> tasks;
  for (int i = 0; i < kCount; ++i) {
    auto [completion, future] = capture();
    tasks.push_back(
        session->dataTask(dev("bytes/" + std::to_string(sizeOf(i))), std::move(completion)));
    futures.push_back(std::move(future));
  }
  for (auto& task : tasks) task->resume();
  for (int i = 0; i < kCount; ++i) {
    const Outcome out = await(futures[static_cast<std::size_t>(i)], 120s);
    ASSERT_FALSE(out.error) << i << ": " << out.error->localizedDescription();
    ASSERT_EQ(out.body->size(), sizeOf(i)) << i;
    EXPECT_TRUE(*out.body == pattern(sizeOf(i))) << i;
    // Identifiers are unique and increase in creation order.
    EXPECT_TRUE(i == 0 || tasks[i]->taskIdentifier() > tasks[i - 1]->taskIdentifier()) << i;
  }
}

TEST_F(HttpSessionTest, InvalidateAndCancelLeavesNothingBehind) {
  std::size_t threadsAfterFirstRound = 0, fdsAfterFirstRound = 0;
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
    futures.push_back(std::move(suspended));
    std::this_thread::sleep_for(200ms);
    session->invalidateAndCancel();
    for (auto& future : futures) {
      const Outcome out = await(future, 10s);
      ASSERT_TRUE(out.error);
      EXPECT_TRUE(out.error->isURLCancelled());
    }
    ASSERT_TRUE(MainQueue::runUntil([&] { return recorder->invalidations == 1; }, 10000ms));
    EXPECT_EQ(recorder->completionsAtInvalidation, 21);
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
