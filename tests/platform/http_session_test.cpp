#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <future>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "DevService.h"
#include "lumo/platform/HttpSession.h"

namespace lumo {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using nlohmann::json;
constexpr std::size_t kMiB = 1024 * 1024;

// Byte i of the reference service's /bytes/<n> answers.
std::string pattern(std::size_t n) {
  std::string out(n, '\0');
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<char>(i % 251);
  return out;
}

struct Outcome {
  std::optional<HttpResponse> response;
  std::optional<Bytes> body;
  std::optional<Error> error;
  bool onMain = false;  // whether it was delivered on the main thread
  auto json() const { return nlohmann::json::parse(body.value_or(Bytes{}), nullptr, false); }
};

// A completion handler and the future of what it is given; handlers run on any queue, and the
// wait runs the main queue for sessions that deliver there.
struct Capture {
  std::shared_ptr<std::promise<Outcome>> promise = std::make_shared<std::promise<Outcome>>();
  std::shared_future<Outcome> future = promise->get_future().share();
  HttpTask::CompletionHandler handler() {
    return [p = promise](auto r, auto b, auto e) {
      p->set_value(
          Outcome{std::move(r), std::move(b), std::move(e), DispatchQueue::isMainThread()});
    };
  }
  Outcome await(std::chrono::seconds limit = 60s) {
    const auto ready = [&] { return future.wait_for(0s) == std::future_status::ready; };
    if (MainQueue::runUntil(ready, limit)) return future.get();
    ADD_FAILURE() << "the task did not complete within " << limit.count() << " s";
    return {};
  }
};

Outcome perform(const std::shared_ptr<HttpSession>& session, HttpRequest request,
                std::chrono::seconds limit = 60s) {
  Capture c;
  session->dataTask(std::move(request), c.handler())->resume();
  return c.await(limit);
}

const auto waitFor = [](auto done) { return MainQueue::runUntil(done, 30s); };

// Records a session's delegate events; with `onMain`, they must arrive on the main thread.
struct Recorder : HttpSessionDelegate {
  explicit Recorder(bool onMain = false) : onMain(onMain) {}
  // Progress: increasing totals that add up, each with the size expected.
  void didSendBodyData(HttpSession&, const std::shared_ptr<HttpTask>& task, std::int64_t sent,
                       std::int64_t total, std::int64_t expected) override {
    EXPECT_TRUE(!onMain || DispatchQueue::isMainThread());
    EXPECT_TRUE(sent > 0 && total == (sentSum += sent) &&
                expected == task->countOfBytesExpectedToSend());
  }
  void didCompleteWithError(HttpSession&, const std::shared_ptr<HttpTask>&,
                            const std::optional<Error>&) override {
    EXPECT_TRUE(!onMain || DispatchQueue::isMainThread());
    ++completions;
  }
  void didBecomeInvalidWithError(HttpSession&, const std::optional<Error>&) override {
    completionsAtInvalidation = completions.load();
  }
  const bool onMain;
  std::atomic<int> completions{0}, completionsAtInvalidation{-1};
  std::atomic<std::int64_t> sentSum{0};
};

struct HttpSessionTest : ::testing::Test {
  void SetUp() override {
    std::string whyNot;
    ASSERT_TRUE(service_ = test::DevService::get(&whyNot)) << whyNot;
    base_ = *Url::parse(service_->apiBase);
  }
  HttpRequest dev(const std::string& route, std::string method = "GET") const {
    return HttpRequest(*Url::resolve("/__dev__/" + route, base_), std::move(method));
  }
  std::filesystem::path file(std::size_t size) {  // `size` pattern bytes, removed at the end
    testing_files::writeFile(dir_ / std::to_string(size), pattern(size));
    return dir_ / std::to_string(size);
  }
  const test::DevService* service_ = nullptr;
  Url base_ = Url::fileURL("/");
  testing_files::TempDir dir_;
};

TEST_F(HttpSessionTest, StatusClassesHeadersAndBodiesLargeOnesIncludedOnTheMainQueue) {
  HttpSessionConfiguration config;
  config.httpAdditionalHeaders = {{"X-Session", "from-session"}, {"X-Both", "session"}};
  auto recorder = std::make_shared<Recorder>(true);
  auto session = HttpSession::make(config, recorder, DispatchQueue::main());
  for (int code : {201, 204, 304, 404, 503}) {
    const Outcome out = perform(session, dev("status/" + std::to_string(code)));
    ASSERT_TRUE(!out.error && out.response && out.body) << code;
    EXPECT_EQ(out.response->statusCode, code);
    EXPECT_EQ(out.body->empty(), code == 204 || code == 304) << code;
  }
  const Outcome bare = perform(session, dev("bytes/5000", "HEAD"));
  EXPECT_TRUE(bare.response && bare.response->expectedContentLength() == 5000 && bare.body &&
              bare.body->empty());

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
  EXPECT_EQ(echo["method"].dump() + echo["query"].dump(), R"("POST""a=1&b=two%20words&flag")");
  nlohmann::json merged = echo["headers"];  // the headers as they would be with the expected ones
  merged.update(nlohmann::json::parse(R"({"content-type": "application/json", "x-both": "request",
      "x-session": "from-session", "x-empty": "", "content-length": "2"})"));
  EXPECT_EQ(merged, echo["headers"]);
  EXPECT_FALSE(merged.contains("expect") || merged.contains("transfer-encoding"));
  const auto put = perform(session, dev("echo", "PUT")).json()["headers"];  // no body, no type
  EXPECT_TRUE(put["content-length"] == "0" && !put.contains("content-type")) << put;

  request.setValue("a\r\nInjected: yes", "X-Bad");  // would smuggle in another line
  EXPECT_EQ(perform(session, request).error->code(), URLErrorCode::kBadURL);

  const Outcome down = perform(session, dev("bytes/" + std::to_string(100 * kMiB)), 300s);
  EXPECT_TRUE(down.body && down.onMain &&
              std::string(down.body->begin(), down.body->end()) == pattern(100 * kMiB));

  const std::string head = "--B\r\nContent-Disposition: form-data; name=\"file\"\r\n\r\n",
                    tail = "\r\n--B--";
  request = dev("redirect/307?to=/__dev__/echo");  // the body goes out again after the answer
  request.setValue("multipart/form-data; boundary=B", "Content-Type");
  Capture c;
  auto task = session->uploadTask(
      request, HttpBody().appendBytes(head).appendFile(file(30 * kMiB)).appendBytes(tail),
      c.handler());
  const std::int64_t total = static_cast<std::int64_t>(head.size() + 30 * kMiB + tail.size());
  EXPECT_EQ(task->countOfBytesExpectedToSend(), total);
  recorder->sentSum = 0;
  task->resume();
  const auto uploaded = c.await(300s).json();
  EXPECT_TRUE(c.await().onMain);
  EXPECT_EQ(c.await().response->url.path(), "/__dev__/echo");  // the answer's URL, not ours
  EXPECT_EQ(uploaded["method"], "POST");
  EXPECT_EQ(uploaded["headers"]["content-length"], std::to_string(total));
  EXPECT_EQ(uploaded["body_md5"], "0bc039b090f79bba87b924cc43dc6833");  // head, the file, tail

  EXPECT_TRUE(waitFor([&] { return recorder->sentSum == total; }));
  EXPECT_TRUE(task->countOfBytesSent() == total && task->state() == HttpTask::State::completed);

  Capture missing;
  session->uploadTask(dev("echo"), "/nonexistent/file.png", missing.handler())->resume();
  const auto gone = missing.await().error;
  ASSERT_TRUE(gone && gone->code() == URLErrorCode::kFileDoesNotExist);
  EXPECT_NE(gone->localizedDescription().find("/nonexistent/file.png"), std::string::npos);
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
    HttpRequest request(*Url::parse(url));
    if (session == capped) request.timeoutInterval = 60s;
    const Outcome out = perform(session, request, 20s);
    ASSERT_TRUE(out.error && !out.response && !out.body) << url;
    EXPECT_EQ(out.error->domain(), kURLErrorDomain);
    EXPECT_EQ(out.error->code(), code) << url << ": " << out.error->localizedDescription();
    EXPECT_TRUE(code != E::kTimedOut ||
                out.error->localizedDescription().find("timed out") != std::string::npos);
  }
  HttpRequest patient = dev("delay/1500");  // the request's own interval wins over the session's
  patient.timeoutInterval = 5s;
  EXPECT_FALSE(perform(idle, patient).error);
}

// Cancelling before the start, during a request or an upload, or by invalidating the session
// completes each task once as cancelled and leaves nothing behind.
TEST_F(HttpSessionTest, CancelledAndInvalidatedTasksCompleteOnceAndLeaveNothingBehind) {
  auto entries = [](const char* folder) {
    const std::filesystem::directory_iterator it(folder);
    return static_cast<std::size_t>(std::distance(begin(it), end(it)));
  };
  std::size_t threads = 0, fds = 0;
  for (int round = 0; round < 2; ++round) {
    auto recorder = std::make_shared<Recorder>();
    auto session = HttpSession::make({}, recorder);
    std::vector<Capture> captures(25);  // a second completion would throw: its promise is set
    auto task = session->dataTask(dev("echo"), captures[0].handler());
    task->cancel(), task->resume(), task->cancel();  // resumed too late: nothing more happens
    const Outcome out = captures[0].await();
    ASSERT_TRUE(out.error && !out.response);
    EXPECT_TRUE(out.error->localizedDescription() == "cancelled" &&
                task->state() == HttpTask::State::completed);

    auto running = session->dataTask(dev("delay/20000"), captures[1].handler());
    running->resume();
    ASSERT_TRUE(waitFor([] { return HttpSession::stats().liveTransfers >= 1; }));
    running->cancel();
    auto upload = session->uploadTask(dev("echo"), file(64 * kMiB), captures[2].handler());
    upload->resume();
    ASSERT_TRUE(waitFor([&] { return upload->countOfBytesSent() > 0; }));
    upload->cancel();
    EXPECT_TRUE(captures[2].await().error && running->error());
    EXPECT_LT(upload->countOfBytesSent(), upload->countOfBytesExpectedToSend());

    std::vector<std::shared_ptr<HttpTask>> tasks;
    for (int i = 3; i < 24; ++i) {
      tasks.push_back(session->dataTask(dev("delay/20000"), captures[i].handler()));
      if (i > 3) tasks.back()->resume();  // one stays suspended
    }
    // Six at once by default, the others wait in line.
    ASSERT_TRUE(waitFor([] { return HttpSession::stats().waitingTransfers == 14; }));
    session->invalidateAndCancel();
    ASSERT_TRUE(waitFor([&] { return recorder->completionsAtInvalidation == 24; }));
    EXPECT_FALSE(session->delegate());
    session->dataTask(dev("echo"), captures[24].handler())->resume();  // made after: cancelled
    for (auto& c : captures) EXPECT_EQ(c.await(30s).error->code(), URLErrorCode::kCancelled);
    ASSERT_TRUE(waitFor([] { return HttpSession::stats().liveTransfers == 0; }));
    EXPECT_EQ(HttpSession::stats().networkThreads, 1u);
    // Later rounds add no threads (the dispatch pool may keep a few idle ones, and settles in
    // the first round) and no file descriptors.
    if (round == 0) threads = entries("/proc/self/task"), fds = entries("/proc/self/fd");
    EXPECT_TRUE(entries("/proc/self/task") <= threads + 2 && entries("/proc/self/fd") <= fds);
  }
}

// The transfers of the sessions made from copies of one configuration wait in one line for a
// place. The server never has more of them at once than the bounds allow; one host's go out in
// the order they were resumed; a waiting task that is cancelled completes at once and takes no
// place from the others. A session of a configuration made afresh waits for none of them.
TEST_F(HttpSessionTest, TransfersWaitInLineWithinTheirConfigurationsBounds) {
  HttpSessionConfiguration config, fresh;
  config.httpMaximumConnectionsPerHost = fresh.httpMaximumConnectionsPerHost = 2;
  config.httpMaximumConnections = fresh.httpMaximumConnections = 3;
  const auto one = HttpSession::make(config), other = HttpSession::make(config);
  const double since = test::nowForLog();
  const std::string port = std::to_string(*base_.port());
  std::vector<Capture> captures(11);
  for (int i = 0; i < 10; ++i) {  // eight to 127.0.0.1, then two to localhost: another host
    const std::string url = (i < 8 ? "http://127.0.0.1:" : "http://localhost:") + port +
                            "/__dev__/delay/70" + (i < 8 ? "0?i=" : "1?i=") + std::to_string(i % 8);
    auto task =
        (i % 2 ? one : other)->dataTask(HttpRequest(*Url::parse(url)), captures[i].handler());
    task->resume();
    EXPECT_EQ(task->state(), HttpTask::State::running);
    if (i == 7) task->cancel();  // waits in line
  }
  HttpSession::make(fresh)->dataTask(dev("delay/7?i=f"), captures[10].handler())->resume();
  EXPECT_EQ(captures[7].await().error->code(), URLErrorCode::kCancelled);
  EXPECT_NE(captures[9].future.wait_for(0s), std::future_status::ready);  // still in line
  for (int i = 0; i < 11; ++i) EXPECT_TRUE(i == 7 || captures[i].await().response) << i;
  std::vector<json> log = service_->requests("/__dev__/delay/7");
  std::erase_if(log, [&](const json& e) { return e["time"].get<double>() < since; });
  ASSERT_EQ(log.size(), 10u);
  const json f = *std::ranges::find_if(log, [](const json& e) { return e["query"] == "i=f"; });
  std::erase(log, f);           // the fresh configuration's task: it goes ahead of the sixth
  for (const json& at : log) {  // at each arrival: in flight on its host, in all, answered
    int host = 0, all = 0, answered = 0;
    for (const json& e : log) {
      const bool inFlight = e["time"] <= at["time"] && at["time"] < e["answered"];
      host += inFlight && e["path"] == at["path"], all += inFlight;
      answered += e["answered"] < at["time"] && e["path"] == at["path"];
    }
    // One host's requests in order: the one resumed i-th of its host leaves after i-1 answers.
    const int i = std::stoi(at["query"].get<std::string>().substr(2));
    EXPECT_TRUE(host <= 2 && all <= 3 && answered >= i - 1 && (i != 6 || f["time"] < at["time"]))
        << at;
  }
}

// A request that is not safe to repeat reaches the service once per call, even where libcurl
// would send it again because the reused connection closed without an answer (a redirect that
// keeps the method still sends it on: see the first test).
TEST_F(HttpSessionTest, PostsReachTheServiceOncePerCall) {
  auto session = HttpSession::make();
  const std::string call = std::to_string(test::nowForLog());
  ASSERT_FALSE(perform(session, dev("status/200")).error);  // leaves a connection to reuse
  ASSERT_TRUE(service_->fault({{"route", "upload/start"}, {"key", call}, {"drop_after_bytes", 0}}));
  HttpRequest request(*Url::resolve("/api/v1/upload/start/", base_), "POST");
  request.setValue(call, "X-Call");
  const std::string body = json{{"key", call}}.dump();
  request.body = Bytes(body.begin(), body.end());
  EXPECT_EQ(perform(session, request).error->code(), URLErrorCode::kNetworkConnectionLost);
  const auto sent = [](const json& e) { return e["headers"].value("x-call", ""); };
  EXPECT_EQ(std::ranges::count(service_->requests("/api/v1/upload/start/"), call, sent), 1);
}

// Bodies waiting for their transfer hold at most 64 files open. One made beyond that measures
// its file now and opens it when sent, so a file gone by then fails the transfer; one made
// once the others have gone holds its file again, and is sent whole though its name went.
TEST_F(HttpSessionTest, WaitingBodiesHoldFewFilesOpen) {
  auto session = HttpSession::make();
  const auto path = file(1000), late = dir_ / "late", kept = dir_ / "kept";
  auto openFiles = [&, ec = std::error_code()]() mutable {
    const std::filesystem::directory_iterator fds("/proc/self/fd");
    return std::count_if(begin(fds), end(fds),
                         [&](auto& fd) { return read_symlink(fd, ec) == path; });
  };
  std::vector<std::shared_ptr<HttpTask>> waiting;
  for (int i = 0; i < 100; ++i) waiting.push_back(session->uploadTask(dev("echo"), path, {}));
  EXPECT_TRUE(openFiles() > 0 && openFiles() <= 64) << openFiles();
  Capture gone, sent;
  std::filesystem::copy_file(path, late), std::filesystem::copy_file(path, kept);
  auto task = session->uploadTask(dev("echo", "POST"), late, gone.handler());
  EXPECT_EQ(task->countOfBytesExpectedToSend(), 1000);
  std::filesystem::remove(late), waiting.clear(), task->resume();
  const auto why = gone.await().error.value_or(Error::transport("", 0, "")).localizedDescription();
  EXPECT_NE(why.find(late.string() + "\" couldn't be opened"), std::string::npos) << why;
  task = session->uploadTask(dev("echo", "POST"), kept, sent.handler());
  std::filesystem::remove(kept), task->resume();
  EXPECT_EQ(sent.await().json()["body_size"], 1000);
}

}  // namespace
}  // namespace lumo
