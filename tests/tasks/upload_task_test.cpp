// Single-file uploads against the reference service: what reaches the storage and the delivery
// address, every way an upload can fail, and cancelling at every stage.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include "lumo/account/UserAccountStoreError.h"
#include "lumo/api/APIError.h"
#include "lumo/api/EncodingError.h"
#include "lumo/api/HTTPError.h"
#include "lumo/capture/GIF.h"
#include "lumo/capture/OtherItem.h"
#include "lumo/capture/Screenshot.h"
#include "lumo/registry/Resolver.h"
#include "lumo/sharing/ShareServiceError.h"
#include "lumo/sharing/ShareURLHelperService.h"
#include "lumo/storage/LocalFilesService.h"
#include "lumo/support/DispatchQueue.h"
#include "lumo/tasks/UploadSingleCaptureTask.h"
#include "lumo/tasks/UploadTaskComponents.h"
#include "task_test_support.h"

namespace lumo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using tasktest::Bytes;
using tasktest::DevStack;
using tasktest::Event;
using tasktest::RecordingDelegate;

constexpr const char* kStart = "/api/v1/upload/start/";

class UploadTaskTest : public tasktest::ServiceTaskTest {
 protected:
  // An upload task for the capture of the file `name` holding `bytes`, its delegate set.
  template <typename Capture>
  std::shared_ptr<UploadSingleCaptureTask> makeTask(const std::string& name, const Bytes& bytes,
                                                    const ShareResourceType& type) {
    const Capture capture(Url::fileURL(dir_.write(name, bytes)));
    Result<UploadTaskComponents> components = UploadTaskComponents::components(
        capture, type, *Resolver::resolveFromRoot<ShareURLHelperService>(),
        *Resolver::resolveFromRoot<LocalFilesService>());
    EXPECT_TRUE(components.ok());
    if (!components.ok()) return nullptr;
    auto task = std::make_shared<UploadSingleCaptureTask>(capture, *components);
    task->setDelegate(delegate_);
    return task;
  }
  std::shared_ptr<UploadSingleCaptureTask> screenshotTask() {
    return makeTask<Screenshot>("a.png", tasktest::randomBytes(100),
                                ShareResourceType::screenshot());
  }
  // A task for a file whose remote name has this test's own extension, so that its API calls
  // can be told from other clients'.
  std::shared_ptr<UploadSingleCaptureTask> ownTask(std::size_t size) {
    return makeTask<OtherItem>(std::string("file.") + tasktest::kOwnExtension,
                               tasktest::randomBytes(size),
                               ShareResourceType::other(tasktest::kOwnExtension));
  }

  // This test's own "upload/start" calls for the file of `task`.
  std::size_t starts(const UploadSingleFileTask& task) const {
    const UploadTaskComponents& c = task.components();
    return stack_
        ->callsWithBodySize(
            kStart, tasktest::startBodySize(c.contentType, c.fileSize, c.remoteName()), since_)
        .size();
  }
  std::size_t completes(const UploadSingleFileTask& task) const {
    return ServiceTaskTest::completes(task.components().remoteName());
  }
  // Whether the delivery address serves the task's file: a post that reached the storage.
  bool delivered(const UploadSingleFileTask& task) const {
    return served(task.components().remoteName()) == 200;
  }

  static bool eventually(const std::function<bool()>& condition) {
    return MainQueue::runUntil(condition, 10s);
  }
};

// ---- what reaches the storage and the delivery address ----

TEST_F(UploadTaskTest, StrictStorageAcceptsThePostAndDeliversTheBytes) {
  struct Case {
    std::string name;
    Bytes bytes;
    ShareResourceType type;
    std::string contentType;
  };
  const std::vector<Case> cases{
      {"Shot one.png", tasktest::randomBytes(1024 * 1024 + 17), ShareResourceType::screenshot(),
       "image/png"},
      {"clip.gif", tasktest::randomBytes(4096), ShareResourceType::gif(), "image/gif"},
      {"empty.pdf", {}, ShareResourceType::other("pdf"), "application/pdf"},
      {"gone.pdf", tasktest::randomBytes(4096), ShareResourceType::other("pdf"), "application/pdf"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    stack_->captureStorageBodies(true);  // off again after the test
    delegate_ = std::make_shared<RecordingDelegate>();
    auto task = c.type == ShareResourceType::gif() ? makeTask<GIF>(c.name, c.bytes, c.type)
                : c.type == ShareResourceType::screenshot()
                    ? makeTask<Screenshot>(c.name, c.bytes, c.type)
                    : makeTask<OtherItem>(c.name, c.bytes, c.type);
    ASSERT_NE(task, nullptr);
    if (c.name == "gone.pdf") {  // removed once measured: what was measured is still sent
      Resolver::registerInMain<HttpSessionConfiguration>(
          [file = task->components().localURL.filePath(), made = std::make_shared<int>(0)] {
            if (++*made == 2) fs::remove(file);  // the storage post's, after "upload/start"'s
            return HttpSessionConfiguration{};
          });
    }
    const std::string remoteName = task->components().remoteName();
    runToEnd(task);

    // Started on the queue's thread, then progress and completion on the main queue.
    const auto events = delegate_->events();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events.front().kind, "started");
    EXPECT_FALSE(events.front().onMainThread);
    double last = 0;
    for (const Event& e : events) {
      if (e.kind != "progress") continue;
      EXPECT_TRUE(e.onMainThread);
      EXPECT_GE(e.progress, last);
      EXPECT_LE(e.progress, 1.0);
      last = e.progress;
    }
    EXPECT_EQ(last, 1.0);
    const Event done = finalEvent();
    ASSERT_EQ(done.kind, "complete") << (done.error ? done.error->localizedDescription() : "");
    EXPECT_EQ(done.fileSize, static_cast<std::int64_t>(c.bytes.size()));
    EXPECT_TRUE(done.onMainThread);

    // The storage front took the post: the fields match the policy, the size its range.
    auto posts = stack_->storagePostsFor(remoteName, since_);
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0]["status"], 204);
    const Bytes raw = tasktest::decodeBase64(posts[0]["body_b64"].get<std::string>());
    EXPECT_EQ(posts[0]["headers"]["content-length"], std::to_string(raw.size()));
    const std::string contentType = posts[0]["headers"]["content-type"];
    EXPECT_EQ(contentType.rfind("multipart/form-data; boundary=Boundary-", 0), 0u);
    EXPECT_EQ(contentType.size(), std::string("multipart/form-data; boundary=").size() + 45);
    EXPECT_FALSE(posts[0]["headers"].contains("authorization"));

    // An independent parser finds the six fields and the very bytes of the file.
    tasktest::ParsedForm form = tasktest::parseWithWerkzeug(raw, contentType);
    ASSERT_EQ(form.error, "");
    EXPECT_EQ(form.fields.size(), 6u);
    for (const char* field :
         {"content-type", "policy", "signature", "acl", "key", "AWSAccessKeyId"}) {
      EXPECT_EQ(form.fields.count(field), 1u) << field;
    }
    EXPECT_EQ(form.fields["content-type"], c.contentType);
    EXPECT_EQ(form.fields["key"], remoteName);
    EXPECT_EQ(form.fields["acl"], "public-read");
    EXPECT_EQ(form.fileName, remoteName);
    EXPECT_EQ(form.fileContentType, c.contentType);
    EXPECT_EQ(form.fileBytes, c.bytes);
    // The body ends with the closing boundary and no CRLF.
    const std::string tail(raw.end() - 2, raw.end());
    EXPECT_EQ(tail, "--");

    // "upload/complete" follows, and the object is served with its bytes and type.
    EXPECT_TRUE(eventually([&] { return completes(*task) >= 1; }));
    tasktest::Reply served = stack_->call("GET", stack_->shareBase + "/" + remoteName);
    EXPECT_EQ(served.status, 200);
    EXPECT_EQ(served.body, c.bytes);
    EXPECT_EQ(served.header("Content-Type").value_or(""), c.contentType);
  }
}

// ---- failures ----

// Every way "upload/start" can fail ends the task with that error, and nothing is posted.
TEST_F(UploadTaskTest, StartFailuresEndWithTheirErrorAndPostNothing) {
  struct Case {
    std::string name;
    std::optional<nlohmann::json> fault;  // none: signed out
    std::function<void(const Error&)> check;
  };
  const std::vector<Case> cases{
      {"no token", std::nullopt,
       [](const Error& e) { EXPECT_TRUE(e.is<UserAccountStoreError>()); }},
      {"service refusal",
       nlohmann::json{{"route", "upload/start"},
                      {"status", 403},
                      {"body", nlohmann::json{{"errors", {"No items left today"}}}}},
       [](const Error& e) {
         ASSERT_TRUE(e.is<APIError>());
         EXPECT_EQ(e.as<APIError>()->errorResponse().errors,
                   std::vector<std::string>{"No items left today"});
       }},
      // A gateway's error page is no answer of the service: it does not decode.
      {"foreign error page",
       nlohmann::json{{"route", "upload/start"}, {"status", 502}, {"body_kind", "html"}},
       [](const Error& e) {
         ASSERT_TRUE(e.is<APIError>()) << e.localizedDescription();
         EXPECT_EQ(e.as<APIError>()->kind(), APIError::Kind::schemaMismatch);
       }},
      {"answer that does not decode",
       nlohmann::json{{"route", "upload/start"}, {"status", 200}, {"body", {{"key", "k"}}}},
       [](const Error& e) {
         ASSERT_TRUE(e.is<APIError>());
         EXPECT_EQ(e.as<APIError>()->kind(), APIError::Kind::schemaMismatch);
       }},
      // libcurl sends a request once more when a reused connection dies before any answer, so
      // both attempts are dropped.
      {"transport error",
       nlohmann::json{{"route", "upload/start"}, {"drop_after_bytes", 0}, {"count", 2}},
       [](const Error& e) {
         EXPECT_EQ(e.domain(), "NSURLErrorDomain");
         EXPECT_NE(e.code(), -999);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    stack_->captureStorageBodies(true);  // off again after the test
    delegate_ = std::make_shared<RecordingDelegate>();
    auto task = ownTask(100);
    if (c.fault) {
      ASSERT_TRUE(stack_->fault(*c.fault));
    } else {
      tasktest::useToken(std::nullopt);
    }
    runToEnd(task);
    tasktest::useToken(stack_->token);
    const Event e = finalEvent();
    ASSERT_EQ(e.kind, "error");
    c.check(*e.error);
    EXPECT_EQ(e.fileSize, 100);
    EXPECT_EQ(delegate_->count("progress"), 0u);
    if (!c.fault) {
      EXPECT_EQ(starts(*task), 0u);
    }
    EXPECT_FALSE(delivered(*task));
  }
}

// Failures found on this side end the task with their error and deliver nothing: the file gone
// before the storage post, a storage address that does not parse, a name that is not UTF-8.
TEST_F(UploadTaskTest, LocalFailuresEndWithTheirErrorAndDeliverNothing) {
  const nlohmann::json badAddress{{"url", "::no url here"},
                                  {"fields",
                                   {{"AWSAccessKeyId", "a"},
                                    {"acl", "public-read"},
                                    {"key", "k"},
                                    {"policy", "p"},
                                    {"signature", "s"}}}};
  struct Case {
    std::string name, domain;
    std::int64_t code;  // 0: an EncodingError
  };
  for (const Case& c :
       {Case{"file gone", "NSCocoaErrorDomain", 260},
        Case{"storage address", "NSURLErrorDomain", -1000}, Case{"not UTF-8", "", 0}}) {
    SCOPED_TRACE(c.name);
    delegate_ = std::make_shared<RecordingDelegate>();
    auto task = c.code == 0 ? makeTask<OtherItem>("odd.\xff\xfe", tasktest::randomBytes(10),
                                                  ShareResourceType::other("\xff\xfe"))
                            : screenshotTask();
    ASSERT_NE(task, nullptr);
    if (c.code == 260) fs::remove(task->components().localURL.filePath());
    if (c.code == -1000) {
      ASSERT_TRUE(stack_->fault(
          {{"route", "upload/start"},
           {"status", 200},
           {"body", {{"key", task->components().remoteName()}, {"presigned_post", badAddress}}}}));
    }
    runToEnd(task);
    const Event e = finalEvent();
    ASSERT_EQ(e.kind, "error");
    if (c.code == 0) {
      EXPECT_TRUE(e.error->is<EncodingError>()) << e.error->localizedDescription();
      continue;
    }
    EXPECT_EQ(e.error->domain(), c.domain);
    EXPECT_EQ(e.error->code(), c.code);
    if (c.code == 260) {
      EXPECT_EQ(task->uploadTask(), nullptr);
    }
    EXPECT_FALSE(delivered(*task));
  }
}

TEST_F(UploadTaskTest, StorageTransportErrorFailsAndSendsNoComplete) {
  // Both the post and libcurl's one retry on a fresh connection are dropped.
  auto task = ownTask(200000);
  ASSERT_TRUE(stack_->fault({{"route", "storage"}, {"drop_after_bytes", 100}, {"count", 2}}));
  runToEnd(task);
  const Event e = finalEvent();
  ASSERT_EQ(e.kind, "error");
  EXPECT_EQ(e.error->domain(), "NSURLErrorDomain");
  EXPECT_NE(e.error->code(), -999);
  ASSERT_NE(task->uploadTask(), nullptr);
  EXPECT_EQ(task->uploadTask()->originalRequest().url.path(), "/storage");
  MainQueue::runFor(500ms);
  EXPECT_EQ(completes(*task), 0u);
}

// The storage's HTTP status is not looked at: a refusal without a transport error counts as
// delivered, and "upload/complete" is sent for it.
TEST_F(UploadTaskTest, StorageRefusalWithoutTransportErrorCountsAsSuccess) {
  auto task = ownTask(1000);
  ASSERT_TRUE(stack_->fault({{"route", "storage"}, {"status", 403}, {"body_kind", "html"}}));
  runToEnd(task);
  EXPECT_EQ(finalEvent().kind, "complete");
  EXPECT_FALSE(delivered(*task));  // the refusal reached this post
  EXPECT_TRUE(eventually([&] { return completes(*task) == 1; }));
}

// ---- cancelling ----

TEST_F(UploadTaskTest, CancelBeforeAnyRequestEndsAtOnceOnTheCancellingThread) {
  auto task = ownTask(100);
  task->cancel();
  ASSERT_EQ(delegate_->finals().size(), 1u);
  EXPECT_EQ(finalEvent().kind, "cancelled");
  EXPECT_EQ(finalEvent().thread, std::this_thread::get_id());
  EXPECT_TRUE(task->isFinished());
  EXPECT_TRUE(task->isCancelled());
  // A finished task is never started by a queue; started by hand it sends nothing.
  EXPECT_FALSE(queue_.addOperation(task));
  task->start();
  task->cancel();
  MainQueue::runFor(300ms);
  EXPECT_EQ(delegate_->finals().size(), 1u);
  EXPECT_EQ(delegate_->count("error"), 0u);
  EXPECT_EQ(starts(*task), 0u);
}

// A cancel while "upload/start" or the storage post is held up by the service ends the task
// cancelled, once and without error, past the late answer; no "upload/complete" follows, and a
// cancel during the start never posts.
TEST_F(UploadTaskTest, CancelWhileARequestIsInFlightEndsCancelledOnce) {
  for (const std::string& path : {std::string(kStart), std::string("/storage")}) {
    SCOPED_TRACE(path);
    delegate_ = std::make_shared<RecordingDelegate>();
    auto task = ownTask(100000);
    const bool atStart = path == kStart;
    ASSERT_TRUE(
        stack_->fault({{"route", atStart ? "upload/start" : "storage"}, {"delay_ms", 2000}}));
    queue_.addOperation(task);
    ASSERT_TRUE(eventually([&] {
      auto request = task->uploadTask();
      return request && (atStart || request->originalRequest().url.path() == "/storage");
    }));
    MainQueue::runFor(300ms);  // well inside the delay: the request is at the service
    task->cancel();
    ASSERT_TRUE(delegate_->waitForFinal());
    MainQueue::runFor(2500ms);  // past the delayed answer
    expectEndedOnce(*task);
    EXPECT_EQ(finalEvent().kind, "cancelled");
    EXPECT_EQ(delegate_->count("error"), 0u);
    EXPECT_EQ(completes(*task), 0u);
    if (atStart) {
      EXPECT_FALSE(delivered(*task));
    } else {
      EXPECT_EQ(task->uploadTask()->error()->code(), -999);
    }
  }
}

// The start answer has arrived but waits for the main queue when the cancel comes: the cancel
// wins and the file is not posted.
TEST_F(UploadTaskTest, CancelWhileTheStartAnswerIsOnItsWayNeverPosts) {
  auto task = screenshotTask();
  queue_.addOperation(task);
  // The main queue is not driven here, so the answer cannot be handled yet.
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < deadline) {
    auto request = task->uploadTask();
    if (request && request->state() == HttpTask::State::completed) break;
    std::this_thread::sleep_for(5ms);
  }
  ASSERT_NE(task->uploadTask(), nullptr);
  ASSERT_EQ(task->uploadTask()->state(), HttpTask::State::completed);
  task->cancel();
  ASSERT_TRUE(delegate_->waitForFinal());
  MainQueue::runFor(300ms);
  expectEndedOnce(*task);
  EXPECT_EQ(finalEvent().kind, "cancelled");
  EXPECT_FALSE(delivered(*task));
}

// Cancels from another thread at random moments around the start and the start's answer: each
// task still ends once, finished, and leaves the queue; one cancelled before its storage post
// began never posts.
TEST_F(UploadTaskTest, CancelRacingStartAndAnswerEndsEachTaskOnce) {
  std::mt19937 rng(std::random_device{}());
  std::uniform_int_distribution<int> pause(0, 30);
  for (int i = 0; i < 24; ++i) {
    SCOPED_TRACE(i);
    delegate_ = std::make_shared<RecordingDelegate>();
    auto task = makeTask<Screenshot>("race" + std::to_string(i) + ".png",
                                     tasktest::randomBytes(2000), ShareResourceType::screenshot());
    const int wait = pause(rng);
    std::thread canceller([task, wait] {
      std::this_thread::sleep_for(std::chrono::milliseconds(wait));
      task->cancel();
    });
    queue_.addOperation(task);
    const bool ended = delegate_->waitForFinal(30s);
    canceller.join();
    ASSERT_TRUE(ended);
    MainQueue::runFor(100ms);
    expectEndedOnce(*task);
    const std::string kind = finalEvent().kind;
    EXPECT_TRUE(kind == "cancelled" || kind == "complete") << kind;
    if (kind == "cancelled") {
      EXPECT_EQ(delegate_->count("error"), 0u);
      auto last = task->uploadTask();
      if (!last || last->originalRequest().url.path() != "/storage") {
        EXPECT_FALSE(delivered(*task));
      }
    }
  }
}

// ---- values ----

TEST(UploadTaskValuesTest, ComponentsNeedAShareURLFirst) {
  std::string whyNot;
  const DevStack* stack = DevStack::get(&whyNot);
  ASSERT_NE(stack, nullptr) << whyNot;
  tasktest::installServices(*stack);
  // A missing file has neither URL nor size: the URL is reported.
  Screenshot missing(Url::fileURL("/nonexistent/lumo/shot.png"));
  Result<UploadTaskComponents> components = UploadTaskComponents::components(
      missing, ShareResourceType::screenshot(), *Resolver::resolveFromRoot<ShareURLHelperService>(),
      *Resolver::resolveFromRoot<LocalFilesService>());
  ASSERT_FALSE(components.ok());
  EXPECT_TRUE(components.error() == Error(ShareServiceError::shareURLisAbsent));
}

}  // namespace
}  // namespace lumo
