// Single-file uploads and deletes against the reference service.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <random>

#include "lumo/account/UserAccountStoreError.h"
#include "lumo/api/APIError.h"
#include "lumo/api/EncodingError.h"
#include "lumo/capture/OtherItem.h"
#include "lumo/platform/HttpRequest.h"
#include "lumo/registry/Resolver.h"
#include "lumo/sharing/ShareURLHelperService.h"
#include "lumo/storage/LocalFilesService.h"
#include "lumo/support/DispatchQueue.h"
#include "lumo/tasks/DeleteSingleCaptureTask.h"
#include "lumo/tasks/UploadSingleCaptureTask.h"
#include "task_test_support.h"

namespace lumo {
namespace {

using namespace std::chrono_literals;
using tasktest::Bytes;
using tasktest::Event;
using tasktest::Json;
using tasktest::RecordingDelegate;

class UploadTaskTest : public tasktest::ServiceTaskTest {
 protected:
  std::shared_ptr<UploadSingleCaptureTask> makeTask(const Bytes& bytes,
                                                    const std::string& ext = tasktest::kOwn) {
    const OtherItem capture(Url::fileURL(write("file." + ext, bytes)));
    auto components = UploadTaskComponents::components(
        capture, ShareResourceType::other(ext), *Resolver::resolveFromRoot<ShareURLHelperService>(),
        *Resolver::resolveFromRoot<LocalFilesService>());
    EXPECT_TRUE(components.ok());
    auto task = std::make_shared<UploadSingleCaptureTask>(capture, *components);
    task->setDelegate(delegate_ = std::make_shared<RecordingDelegate>());
    since_ = now();  // names of the same length are this task's from here on
    return task;
  }
  std::shared_ptr<DeleteSingleCaptureTask> deleteTask(const UploadSingleCaptureTask& upload) {
    auto task = DeleteSingleCaptureTask::make(upload.screenCapture(),
                                              *Resolver::resolveFromRoot<ShareURLHelperService>());
    task->setDelegate(delegate_ = std::make_shared<RecordingDelegate>());
    return task;
  }
};

// A file uploaded and deleted again: what the delegate hears, in which order, on which thread
// and with which values; what the service took and serves; the debug lines.
TEST_F(UploadTaskTest, UploadsAndDeletesEndToEnd) {
  for (const Bytes& bytes : {tasktest::randomBytes(1024 * 1024 + 17), Bytes{}}) {
    SCOPED_TRACE(bytes.size());
    auto task = makeTask(bytes);
    const std::string key = task->components().remoteName();
    stack_->fault({{"route", "storage"}, {"key", key}, {"delay_ms", 300}});
    const auto began = std::chrono::steady_clock::now();
    run(task);
    const auto waited = std::chrono::steady_clock::now() - began;

    EXPECT_EQ(delegate_->events().front().kind, "UploadStarted");
    EXPECT_FALSE(delegate_->events().front().onMainThread);  // the queue's thread
    double last = 0;
    for (const Event& e : delegate_->events("ProgressUpdated")) {
      EXPECT_TRUE(e.onMainThread && !e.taskFinished);
      EXPECT_GE(e.progress, last);
      last = e.progress;
    }
    EXPECT_EQ(last, 1.0);
    const Event done = final();
    ASSERT_EQ(done.kind, "UploadComplete") << done.error->localizedDescription();
    EXPECT_TRUE(done.onMainThread);
    EXPECT_EQ(done.fileSize, static_cast<std::int64_t>(bytes.size()));
    // Milliseconds: at least the storage's delay, at most what the test waited.
    EXPECT_GE(done.duration, 300);
    EXPECT_LE(done.duration, std::chrono::duration_cast<std::chrono::milliseconds>(waited).count());
    EXPECT_EQ(logged("Uploaded to:" + task->components().uploadURL.absoluteString()), 1u);

    // The storage post: its own time limit, no credentials, accepted; then "upload/complete".
    const HttpRequest& post = task->uploadTask()->originalRequest();
    EXPECT_EQ(post.timeoutInterval, 60s);
    std::vector<Json> posts;
    for (const Json& r : stack_->requests("/storage"))
      if (r["headers"].value("content-type", "") == post.value("Content-Type")) posts.push_back(r);
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0]["status"], 204);
    EXPECT_FALSE(posts[0]["headers"].contains("authorization"));
    EXPECT_TRUE(
        MainQueue::runUntil([&] { return calls("upload/complete", key).size() == 1; }, 10s));
    const auto object = stack_->call("GET", stack_->shareBase + "/" + key);
    EXPECT_EQ(object.status, 200);
    EXPECT_EQ(object.body, bytes);
    EXPECT_EQ(object.contentType, task->components().contentType);

    // A delete ignores cancel, reports on its own thread and removes the object; a second
    // delete finds nothing and says so.
    const std::size_t deleteLines = logged("Delete task result = DeleteUploadResponse()");
    auto remove = deleteTask(*task);
    remove->cancel();
    EXPECT_FALSE(remove->isCancelled() || remove->isFinished());
    run(remove);
    EXPECT_EQ(delegate_->events().front().kind, "DeleteStarted");
    EXPECT_EQ(final().kind, "DeleteComplete");
    EXPECT_EQ(logged("Delete task result = DeleteUploadResponse()"), deleteLines + 1);
    EXPECT_EQ(served(key), 403);
    run(deleteTask(*task));
    ASSERT_EQ(final().kind, "DeleteError");
    EXPECT_TRUE(final().error->is<APIError>());
  }
}

// Every other way an upload ends: once, with its error, and "upload/complete" only after a
// storage post that did not fail in transport.
TEST_F(UploadTaskTest, EveryOtherOutcomeEndsOnceWithItsError) {
  using Arrange = std::function<void(UploadSingleFileTask&, const std::string& key)>;
  auto fault = [this](Json f) {
    return [this, f](auto&, const std::string& key) mutable {
      f["key"] = key;
      stack_->fault(f);
    };
  };
  auto isA = [](const char* domain, std::int64_t code) {
    return [=](const Error& e) {
      return e.domain() == domain && (code ? e.code() == code : e.code() != -999);
    };
  };
  const Json badPost{{"url", "::no url"},
                     {"fields",
                      {{"AWSAccessKeyId", "a"},
                       {"acl", "public-read"},
                       {"key", "k"},
                       {"policy", "p"},
                       {"signature", "s"}}}};
  struct Case {
    std::string label, ext;
    Arrange arrange;
    std::function<bool(const Error&)> error;  // none: completes
    bool delivered, completes;
  };
  const std::vector<Case> cases{
      {"signed out", tasktest::kOwn, [](auto&, auto&) { useToken(false); },
       [](const Error& e) { return e.is<UserAccountStoreError>(); }, false, false},
      {"start refused", tasktest::kOwn, fault({{"route", "upload/start"}, {"status", 403}}),
       [](const Error& e) { return e.is<APIError>(); }, false, false},
      {"file gone", tasktest::kOwn,
       [](auto& t, auto&) { std::filesystem::remove(t.components().localURL.filePath()); },
       isA("NSCocoaErrorDomain", 260), false, false},
      // What was measured is sent, even when the file goes once the storage post is on its way.
      {"file gone later", tasktest::kOwn,
       [](auto& t, auto&) {
         Resolver::registerInMain<HttpSessionConfiguration>(
             [file = t.components().localURL.filePath(), made = std::make_shared<int>(0)] {
               if (++*made == 2) std::filesystem::remove(file);  // the storage post's
               return HttpSessionConfiguration{};
             });
       },
       nullptr, true, true},
      {"bad storage address", tasktest::kOwn,
       [this, &badPost](auto&, const std::string& key) {
         stack_->fault({{"route", "upload/start"},
                        {"key", key},
                        {"status", 200},
                        {"body", Json{{"key", key}, {"presigned_post", badPost}}}});
       },
       isA("NSURLErrorDomain", -1000), false, false},
      // libcurl sends once more on a fresh connection when a reused one dies.
      {"storage dropped", tasktest::kOwn,
       fault({{"route", "storage"}, {"drop_after_bytes", 100}, {"count", 2}}),
       isA("NSURLErrorDomain", 0), false, false},
      // The storage's status is not looked at.
      {"storage refused", tasktest::kOwn,
       fault({{"route", "storage"}, {"status", 403}, {"body_kind", "html"}}), nullptr, false, true},
      {"name not UTF-8", "\xff\xfe", [](auto&, auto&) {},
       [](const Error& e) { return e.is<EncodingError>(); }, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    auto task = makeTask(tasktest::randomBytes(200000), c.ext);
    const std::string key = task->components().remoteName();
    c.arrange(*task, key);
    run(task);
    useToken(true);
    const Event e = final();
    ASSERT_EQ(e.kind, c.error ? "UploadError" : "UploadComplete");
    if (c.error) {
      EXPECT_TRUE(c.error(*e.error)) << e.error->localizedDescription();
    }
    EXPECT_EQ(e.fileSize, 200000);
    EXPECT_EQ(served(key) == 200, c.delivered);
    const auto completes = [&] { return calls("upload/complete", key).size(); };
    EXPECT_EQ(c.completes,
              MainQueue::runUntil([&] { return completes() > 0; }, c.completes ? 10s : 0s));
  }
}

TEST_F(UploadTaskTest, CancelBeforeAnyRequestEndsAtOnceOnTheCancellingThread) {
  auto task = makeTask(tasktest::randomBytes(100));
  task->cancel();
  ASSERT_EQ(delegate_->finals().size(), 1u);
  EXPECT_EQ(final().kind, "Cancelled");
  EXPECT_EQ(final().thread, std::this_thread::get_id());
  EXPECT_TRUE(task->isFinished() && task->isCancelled());
  EXPECT_FALSE(queue_.addOperation(task));  // a queue never starts a finished task
  task->start();                            // nor does a start by hand send anything
  task->cancel();
  MainQueue::runFor(300ms);
  EXPECT_EQ(delegate_->finals().size(), 1u);
  EXPECT_EQ(task->uploadTask(), nullptr);
}

// A cancel while the service holds up "upload/start" or the storage post ends the task
// cancelled once, past the late answer, without "upload/complete".
TEST_F(UploadTaskTest, CancelWhileARequestIsHeldUpEndsCancelledOnce) {
  for (const std::string route : {"upload/start", "storage"}) {
    SCOPED_TRACE(route);
    auto task = makeTask(tasktest::randomBytes(100000));
    const std::string key = task->components().remoteName();
    stack_->fault({{"route", route}, {"key", key}, {"delay_ms", 2000}});
    queue_.addOperation(task);
    ASSERT_TRUE(MainQueue::runUntil(
        [&] {
          auto request = task->uploadTask();
          return request &&
                 (route != "storage" || request->originalRequest().url.path() == "/storage");
        },
        10s));
    MainQueue::runFor(300ms);  // the request has reached the service
    task->cancel();
    ASSERT_TRUE(waitForFinal());
    MainQueue::runFor(2500ms);
    expectEndedOnce(*task);
    EXPECT_EQ(final().kind, "Cancelled");
    EXPECT_TRUE(calls("upload/complete", key).empty());
    if (route == "storage")
      EXPECT_EQ(task->uploadTask()->error()->code(), -999);
    else
      EXPECT_NE(served(key), 200);
  }
}

// The start's answer has arrived but waits for the main queue when the cancel comes.
TEST_F(UploadTaskTest, CancelWhileTheStartAnswerIsOnItsWayNeverPosts) {
  auto task = makeTask(tasktest::randomBytes(100));
  queue_.addOperation(task);
  for (const auto end = std::chrono::steady_clock::now() + 10s;
       std::chrono::steady_clock::now() < end;) {
    auto request = task->uploadTask();
    if (request && request->state() == HttpTask::State::completed) break;
    std::this_thread::yield();
  }
  ASSERT_EQ(task->uploadTask()->state(), HttpTask::State::completed);
  task->cancel();
  ASSERT_TRUE(waitForFinal());
  MainQueue::runFor(300ms);
  expectEndedOnce(*task);
  EXPECT_EQ(final().kind, "Cancelled");
  EXPECT_NE(served(task->components().remoteName()), 200);
}

TEST_F(UploadTaskTest, CancelRacingTheStartEndsEachTaskOnce) {
  std::mt19937 rng(std::random_device{}());
  for (int i = 0; i < 24; ++i) {
    SCOPED_TRACE(i);
    auto task = makeTask(tasktest::randomBytes(2000));
    std::thread canceller([task, jitter = std::chrono::milliseconds(rng() % 30)] {
      std::this_thread::sleep_for(jitter);
      task->cancel();
    });
    queue_.addOperation(task);
    const bool ended = waitForFinal();
    canceller.join();
    ASSERT_TRUE(ended);
    MainQueue::runFor(100ms);
    expectEndedOnce(*task);
    EXPECT_TRUE(final().kind == "Cancelled" || final().kind == "UploadComplete") << final().kind;
  }
}

}  // namespace
}  // namespace lumo
