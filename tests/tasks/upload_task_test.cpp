// Single-file uploads and deletes against the reference service.

#include <chrono>
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
#include "lumo/tasks/DeleteSingleCaptureTask.h"
#include "lumo/tasks/UploadSingleCaptureTask.h"
#include "task_test_support.h"

namespace lumo::tasktest {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

class UploadTaskTest : public ServiceTaskTest {
 protected:
  std::shared_ptr<UploadSingleCaptureTask> makeTask(const Bytes& bytes, std::string ext = kOwn) {
    const OtherItem capture(Url::fileURL(write("file." + ext, bytes)));
    auto task = std::make_shared<UploadSingleCaptureTask>(
        capture, UploadTaskComponents::components(capture, ShareResourceType::other(ext), *urls(),
                                                  *Resolver::resolveFromRoot<LocalFilesService>())
                     .value());
    task->setDelegate(delegate_ = std::make_shared<RecordingDelegate>());
    since_ = test::nowForLog();  // calls about names of this length are this task's from here on
    return task;
  }
  std::shared_ptr<DeleteSingleCaptureTask> deleteTask(const UploadSingleCaptureTask& upload) {
    auto task = DeleteSingleCaptureTask::make(upload.screenCapture(), *urls());
    task->setDelegate(delegate_ = std::make_shared<RecordingDelegate>());
    return task;
  }
  static std::shared_ptr<ShareURLHelperService> urls() {
    return Resolver::resolveFromRoot<ShareURLHelperService>();
  }
};

// A file uploaded and deleted again: what the delegate hears, in which order, on which thread
// and with which values; what the service took and serves; the debug lines.
TEST_F(UploadTaskTest, UploadsAndDeletesEndToEnd) {
  for (const Bytes& bytes : {randomBytes(1024 * 1024 + 17), Bytes{}}) {
    SCOPED_TRACE(bytes.size());
    auto task = makeTask(bytes);
    const std::string key = task->components().remoteName();
    fault({{"route", "storage"}, {"delay_ms", 300}}, key);
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
    ASSERT_EQ(done.kind, "UploadComplete");
    EXPECT_TRUE(done.onMainThread);
    EXPECT_EQ(done.fileSize, static_cast<std::int64_t>(bytes.size()));
    // In milliseconds: at least the storage's delay, at most what the test waited.
    EXPECT_GE(done.duration, 300);
    EXPECT_LE(done.duration, std::chrono::duration_cast<std::chrono::milliseconds>(waited).count());
    EXPECT_EQ(logged("Uploaded to:" + task->components().uploadURL.absoluteString()), 1u);

    // The storage post: its own time limit, no credentials, accepted; then "upload/complete".
    const HttpRequest& post = task->uploadTask()->originalRequest();
    EXPECT_EQ(post.timeoutInterval, 60s);
    std::vector<json> posts;
    for (const json& r : dev_->requests("/storage")) {
      if (r["headers"].value("content-type", "") == post.value("Content-Type")) posts.push_back(r);
    }
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0]["status"], 204);
    EXPECT_FALSE(posts[0]["headers"].contains("authorization"));
    EXPECT_TRUE(
        MainQueue::runUntil([&] { return calls("upload/complete", key).size() == 1; }, 10s));
    const test::Reply object = dev_->call("GET", dev_->shareBase + "/" + key);
    EXPECT_EQ(object.status, 200);
    EXPECT_EQ(object.body, bytes);
    EXPECT_EQ(object.header("Content-Type"), task->components().contentType);

    // A delete cannot be cancelled; it removes the object, and a second one finds nothing.
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
  const auto isA = [](const std::string& domain, std::int64_t code) {
    return [=](const Error& e) {
      return e.domain() == domain && (code ? e.code() == code : e.code() != -999);
    };
  };
  json badPost{{"key", "k"}, {"presigned_post", {{"url", "::"}, {"fields", json::object()}}}};
  for (auto field : {"AWSAccessKeyId", "acl", "key", "policy", "signature"})
    badPost["presigned_post"]["fields"][field] = "x";
  struct Case {
    std::string label, ext;
    json fault;                               // keyed to the task's file
    std::function<bool(const Error&)> error;  // none: completes
    bool delivered, completes;
  };
  const Case cases[] = {
      {"signed out",
       kOwn,
       {},
       [](const Error& e) { return e.is<UserAccountStoreError>(); },
       false,
       false},
      {"start refused",
       kOwn,
       {{"route", "upload/start"}, {"status", 403}},
       [](const Error& e) { return e.is<APIError>(); },
       false,
       false},
      {"file gone", kOwn, {}, isA("NSCocoaErrorDomain", 260), false, false},
      // What was measured is sent, also when the file goes while the storage post is made.
      {"file gone later", kOwn, {}, nullptr, true, true},
      {"bad storage address",
       kOwn,
       {{"route", "upload/start"}, {"status", 200}, {"body", badPost}},
       isA("NSURLErrorDomain", -1000),
       false,
       false},
      // libcurl sends once more on a fresh connection when a reused one dies.
      {"storage dropped",
       kOwn,
       {{"route", "storage"}, {"drop_after_bytes", 100}, {"count", 2}},
       isA("NSURLErrorDomain", 0),
       false,
       false},
      // The storage's status is not looked at.
      {"storage refused",
       kOwn,
       {{"route", "storage"}, {"status", 403}, {"body_kind", "html"}},
       nullptr,
       false,
       true},
      {"name not UTF-8",
       "\xff\xfe",
       {},
       [](const Error& e) { return e.is<EncodingError>(); },
       false,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    auto task = makeTask(randomBytes(200000), c.ext);
    const std::string key = task->components().remoteName();
    const fs::path file = task->components().localURL.filePath();
    if (!c.fault.is_null()) fault(c.fault, key);
    if (c.label == "signed out") useToken(false);
    if (c.label == "file gone") fs::remove(file);
    if (c.label == "file gone later") {
      Resolver::registerInMain<HttpSessionConfiguration>([file, made = std::make_shared<int>(0)] {
        if (++*made == 2) fs::remove(file);  // the storage post's, after "upload/start"'s
        return HttpSessionConfiguration{};
      });
    }
    run(task);
    useToken(true);
    const Event e = final();
    ASSERT_EQ(e.kind, c.error ? "UploadError" : "UploadComplete");
    EXPECT_TRUE(!c.error || c.error(*e.error)) << e.error->localizedDescription();
    EXPECT_EQ(e.fileSize, 200000);
    EXPECT_EQ(served(key) == 200, c.delivered);
    EXPECT_EQ(c.completes,
              MainQueue::runUntil([&] { return !calls("upload/complete", key).empty(); },
                                  c.completes ? 10s : 0s));
  }
}

TEST_F(UploadTaskTest, CancelBeforeAnyRequestEndsAtOnceOnTheCancellingThread) {
  auto task = makeTask(randomBytes(100));
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

// A cancel while the service holds "upload/start" or the storage post, or while the start's
// answer waits for the main queue, ends the task cancelled once, with nothing completed.
TEST_F(UploadTaskTest, CancelWhileARequestIsUnderWayEndsCancelledOnce) {
  for (const std::string route : {"upload/start", "storage", "answer"}) {
    SCOPED_TRACE(route);
    auto task = makeTask(randomBytes(100000));
    const std::string key = task->components().remoteName();
    if (route != "answer") fault({{"route", route}, {"delay_ms", 2000}}, key);
    queue_.addOperation(task);
    const auto underWay = [&] {
      auto request = task->uploadTask();
      if (route == "answer") return request && request->state() == HttpTask::State::completed;
      return request && (route != "storage" || request->originalRequest().url.path() == "/storage");
    };
    const bool drive = route != "answer";  // else an answer that has come waits for the main queue
    for (const auto end = std::chrono::steady_clock::now() + 10s;
         !underWay() && std::chrono::steady_clock::now() < end;) {
      drive ? MainQueue::runFor(1ms) : std::this_thread::yield();
    }
    ASSERT_TRUE(underWay());
    if (route != "answer") MainQueue::runFor(300ms);  // the request has reached the service
    task->cancel();
    ASSERT_TRUE(waitForFinal());
    MainQueue::runFor(route == "answer" ? 300ms : 2500ms);  // past a late answer
    expectEndedOnce(*task);
    EXPECT_EQ(final().kind, "Cancelled");
    EXPECT_TRUE(calls("upload/complete", key).empty());
    if (route == "storage") {
      EXPECT_EQ(task->uploadTask()->error()->code(), -999);
    } else {
      EXPECT_NE(served(key), 200);
    }
  }
}

TEST_F(UploadTaskTest, CancelRacingTheStartEndsEachTaskOnce) {
  std::mt19937 rng(std::random_device{}());
  for (int i = 0; i < 24; ++i) {
    SCOPED_TRACE(i);
    auto task = makeTask(randomBytes(2000));
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
}  // namespace lumo::tasktest
