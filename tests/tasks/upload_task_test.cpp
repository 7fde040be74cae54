// Uploads and deletes of single files and of screencasts against the reference service. Other
// clients share it: the faults here are keyed to this test's own files, and API calls about
// names with the extension kOwn are told apart by their body size.

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "DevService.h"
#include "Recorders.h"
#include "lumo/account/UserAccountStoreService.h"
#include "lumo/api/APIError.h"
#include "lumo/api/APISettings.h"
#include "lumo/api/EncodingError.h"
#include "lumo/api/JSONEncoder.h"
#include "lumo/capture/OtherItem.h"
#include "lumo/capture/Screencast.h"
#include "lumo/platform/OperationQueue.h"
#include "lumo/registry/Resolver.h"
#include "lumo/sharing/ShareServiceError.h"
#include "lumo/sharing/ShareURLHelper.h"
#include "lumo/storage/LocalFilesManager.h"
#include "lumo/tasks/DeleteScreencastTask.h"
#include "lumo/tasks/DeleteSingleCaptureTask.h"
#include "lumo/tasks/UploadScreencastTask.h"
#include "lumo/tasks/UploadSingleCaptureTask.h"

namespace lumo {
namespace {

using namespace std::chrono_literals;
using test::Bytes;

const std::string kOwn = "lumo-tasks-own";

Bytes randomBytes(std::size_t size) {
  static std::mt19937_64 rng(std::random_device{}());
  Bytes out(size);
  for (auto& byte : out) byte = static_cast<std::uint8_t>(rng());
  return out;
}

struct Event {
  std::string kind;  // the delegate method's name without "task"
  double progress = 0;
  std::int64_t fileSize = 0, duration = 0;
  std::optional<Error> error = std::nullopt;
  bool taskFinished = false, onMainThread = false;
};

// Records every call of the upload and delete delegate interfaces.
class RecordingDelegate : public UploadTaskDelegate, public DeleteTaskDelegate {
 public:
  using Up = std::shared_ptr<UploadTask>;
  using Del = std::shared_ptr<DeleteTask>;
  void taskUploadStarted(const Up& t) override { add(*t, {.kind = "UploadStarted"}); }
  void taskProgressUpdated(const Up& t, double p) override {
    add(*t, {.kind = "ProgressUpdated", .progress = p});
  }
  void taskUploadComplete(const Up& t, std::int64_t size, std::int64_t ms) override {
    add(*t, {.kind = "UploadComplete", .fileSize = size, .duration = ms});
  }
  void taskUploadError(const Up& t, std::int64_t size, const Error& e, std::int64_t ms) override {
    add(*t, {.kind = "UploadError", .fileSize = size, .duration = ms, .error = e});
  }
  void taskCancelled(const Up& t) override { add(*t, {.kind = "Cancelled"}); }
  void taskDeleteStarted(const Del& t) override { add(*t, {.kind = "DeleteStarted"}); }
  void taskDeleteComplete(const Del& t) override { add(*t, {.kind = "DeleteComplete"}); }
  void taskDeleteError(const Del& t, const Error& e) override {
    add(*t, {.kind = "DeleteError", .error = e});
  }
  // The calls of `kind`; the final ones (complete, error, cancelled).
  std::vector<Event> events(const std::string& kind = "", bool finals = false) const {
    auto out = events_();
    std::erase_if(out, [&](const Event& e) {
      return (!kind.empty() && e.kind != kind) ||
             (finals && (e.kind.ends_with("Started") || e.kind == "ProgressUpdated"));
    });
    return out;
  }

 private:
  void add(const NetworkTask& task, Event e) {
    e.taskFinished = task.isFinished();
    e.onMainThread = DispatchQueue::isMainThread();
    events_.add(std::move(e));
  }
  test::Record<Event> events_;
};

class UploadTaskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string whyNot;
    ASSERT_TRUE(dev_ = test::DevService::get(&whyNot)) << whyNot;
    using R = Resolver;
    [[maybe_unused]] static const bool installed = [] {
      test::installAccountServices();
      R::registerInMain<LogService>([] { return log(); });
      R::registerInMain<APISettingsService>([] { return std::make_shared<APISettings>(); });
      R::registerInMain<ShareURLHelperService>([] { return std::make_shared<ShareURLHelper>(); });
      R::registerInMain<LocalFilesService>([] { return std::make_shared<LocalFilesManager>(); });
      return true;
    }();
    Resolver::resolveFromRoot<UserAccountStoreService>()->login(dev_->token);
    urls_ = Resolver::resolveFromRoot<ShareURLHelperService>();
  }
  static const std::shared_ptr<test::RecordingLog>& log() {  // made once the services are in
    static const auto log = std::make_shared<test::RecordingLog>();
    return log;
  }
  static std::size_t logged(const std::string& p) { return log()->linesStartingWith(p).size(); }
  // Queues a fault for the requests about `key`.
  void fault(test::json f, const std::string& key) const {
    f["key"] = key;
    EXPECT_TRUE(dev_->fault(f)) << f.dump();
  }
  std::filesystem::path write(const std::string& name, const Bytes& bytes) const {
    testing_files::writeFile(dir_ / name, {bytes.begin(), bytes.end()});
    return dir_ / name;
  }
  std::shared_ptr<UploadSingleCaptureTask> makeTask(const Bytes& bytes, std::string ext = kOwn) {
    const OtherItem capture(Url::fileURL(write("file." + ext, bytes)));
    return withDelegate(std::make_shared<UploadSingleCaptureTask>(
        capture, UploadTaskComponents::components(capture, ShareResourceType::other(ext), *urls_,
                                                  *Resolver::resolveFromRoot<LocalFilesService>())
                     .value()));
  }
  template <typename Task>
  std::shared_ptr<Task> withDelegate(std::shared_ptr<Task> task) {
    task->setDelegate(delegate_ = std::make_shared<RecordingDelegate>());
    since_ = test::nowForLog();  // calls about names of this length are this task's from here on
    return task;
  }

  // Drives the main queue until the task's final call and `late` past it, when a second one or a
  // late answer would have come; checks it ended once. Answers when the final call came.
  auto settle(const NetworkTask& task, std::chrono::milliseconds late = 300ms) {
    EXPECT_TRUE(MainQueue::runUntil([this] { return !delegate_->events("", true).empty(); }, 60s));
    const auto ended = std::chrono::steady_clock::now();
    MainQueue::runFor(late);
    EXPECT_TRUE(delegate_->events("", true).size() == 1 && task.isFinished() &&
                !task.isExecuting());
    for (const Event& e : delegate_->events("", true)) EXPECT_TRUE(e.taskFinished) << e.kind;
    EXPECT_TRUE(MainQueue::runUntil([this] { return queue_.operationCount() == 0; }, 30s));
    return ended;
  }
  // Queues `task` and settles it; answers how long it took to end, in milliseconds.
  std::int64_t run(const std::shared_ptr<NetworkTask>& task) {
    const auto began = std::chrono::steady_clock::now();
    queue_.addOperation(task);
    return (settle(*task) - began) / 1ms;
  }
  // Progress on the main queue, never back, ending at 1, passing through each of `steps`.
  void expectProgress(std::vector<double> steps = {}) const {
    double last = 0;
    for (const Event& e : delegate_->events("ProgressUpdated")) {
      EXPECT_TRUE(e.onMainThread && !e.taskFinished && e.progress + 1e-12 >= last) << e.progress;
      last = e.progress;
      std::erase_if(steps, [&](double step) { return std::abs(step - last) < 1e-9; });
    }
    EXPECT_TRUE(std::abs(last - 1.0) < 1e-12 && steps.empty()) << last;
  }
  Event final() const { return delegate_->events("", true).at(0); }  // throws if there is none
  // The statuses of this test's "upload/complete" calls with the body size of `key`'s.
  std::string completes(const std::string& key) const {
    const auto body = JSONEncoder::encodeJSON({{"key", key}});
    std::string statuses;
    for (const test::json& call : dev_->requests("/api/v1/upload/complete/"))
      if (body && call["body_size"] == body->size() && call["time"] >= since_)
        statuses += call["status"].dump() + " ";
    return statuses;
  }
  std::int64_t served(const std::string& key) const {
    return dev_->call("GET", dev_->shareBase + "/" + key).status;
  }

  const test::DevService* dev_ = nullptr;
  std::shared_ptr<ShareURLHelperService> urls_;
  double since_ = test::nowForLog();
  testing_files::TempDir dir_;
  std::shared_ptr<RecordingDelegate> delegate_ = std::make_shared<RecordingDelegate>();
  OperationQueue queue_;
};

// A file uploaded and deleted again: what the delegate hears, in which order, on which thread
// and with which values; what the service took and serves; the debug lines.
TEST_F(UploadTaskTest, UploadsAndDeletesEndToEnd) {
  for (const Bytes& bytes : {randomBytes(1024 * 1024 + 17), Bytes{}}) {
    SCOPED_TRACE(bytes.size());
    auto task = makeTask(bytes);
    const std::string key = task->components().remoteName();
    fault({{"route", "storage"}, {"delay_ms", 300}}, key);
    const std::int64_t waited = run(task);
    EXPECT_EQ(delegate_->events().front().kind, "UploadStarted");
    EXPECT_FALSE(delegate_->events().front().onMainThread);  // the queue's thread
    expectProgress();
    const Event done = final();
    EXPECT_TRUE(done.kind == "UploadComplete" && done.onMainThread) << done.kind;
    EXPECT_EQ(done.fileSize, static_cast<std::int64_t>(bytes.size()));
    // In milliseconds: at least the storage's delay, at most what the test waited.
    EXPECT_TRUE(done.duration >= 300 && done.duration <= waited) << done.duration << " " << waited;
    EXPECT_EQ(logged("Uploaded to:" + task->components().uploadURL.absoluteString()), 1u);

    // The storage post has its own time limit; "upload/complete" follows it.
    EXPECT_EQ(task->uploadTask()->originalRequest().timeoutInterval, 60s);
    EXPECT_TRUE(MainQueue::runUntil([&] { return completes(key) == "200 "; }, 10s));
    const test::Reply object = dev_->call("GET", dev_->shareBase + "/" + key);
    EXPECT_EQ(object.body, bytes);
    EXPECT_EQ(object.header("Content-Type"), task->components().contentType);

    // A delete cannot be cancelled; it removes the object, and a second one finds nothing.
    const std::size_t deleteLines = logged("Delete task result = DeleteUploadResponse()");
    auto remove = withDelegate(DeleteSingleCaptureTask::make(task->screenCapture(), *urls_));
    remove->cancel();
    EXPECT_FALSE(remove->isCancelled() || remove->isFinished());
    run(remove);
    EXPECT_EQ(delegate_->events().front().kind + final().kind, "DeleteStartedDeleteComplete");
    EXPECT_EQ(logged("Delete task result = DeleteUploadResponse()"), deleteLines + 1);
    EXPECT_EQ(served(key), 403);
    run(withDelegate(DeleteSingleCaptureTask::make(task->screenCapture(), *urls_)));
    EXPECT_TRUE(final().kind == "DeleteError" && final().error->is<APIError>());
  }
}

// Every other way an upload ends: once, with its error, and "upload/complete" only after a
// storage post that did not fail in transport.
TEST_F(UploadTaskTest, EveryOtherOutcomeEndsOnceWithItsError) {
  // What happens, the fault for the file, and the outcome: the final call or the error's type
  // or domain and code, whether the file is served, whether "upload/complete" is sent.
  const std::tuple<std::string, test::json, std::string> cases[] = {
      // clang-format off
      {"start refused", {{"route", "upload/start"}, {"status", 403}}, "APIError"},
      {"file gone", {}, "NSCocoaErrorDomain 260"},
      // What was measured is sent, also when the file goes while the storage post is made.
      {"file gone later", {}, "UploadComplete served completed"},
      // libcurl sends once more on a fresh connection when a reused one dies.
      {"dropped", {{"route", "storage"}, {"drop_after_bytes", 100}, {"count", 2}}, "NSURLErrorDomain -1005"},
      // The storage's status is not looked at.
      {"refused", {{"route", "storage"}, {"status", 403}, {"body_kind", "html"}}, "UploadComplete completed"},
      {"name not UTF-8", {}, "EncodingError"},
      // clang-format on
  };
  for (const auto& [what, keyedFault, outcome] : cases) {
    SCOPED_TRACE(what);
    auto task = makeTask(randomBytes(200000), what == "name not UTF-8" ? "\xff\xfe" : kOwn);
    const std::string key = task->components().remoteName();
    const std::filesystem::path file = task->components().localURL.filePath();
    if (!keyedFault.is_null()) fault(keyedFault, key);
    if (what == "file gone") std::filesystem::remove(file);
    if (what == "file gone later")  // at the storage post's session, after "upload/start"'s
      Resolver::registerInMain<HttpSessionConfiguration>([file, made = std::make_shared<int>(0)] {
        if (++*made == 2) std::filesystem::remove(file);
        return HttpSessionConfiguration{};
      });
    run(task);
    const std::optional<Error> error = final().error;
    const bool completed = outcome.ends_with("completed");
    MainQueue::runUntil([&] { return !completes(key).empty(); }, completed ? 10s : 0s);
    EXPECT_EQ(
        (!error                       ? final().kind
         : error->is<APIError>()      ? "APIError"
         : error->is<EncodingError>() ? "EncodingError"
                                      : error->domain() + " " + std::to_string(error->code())) +
            (served(key) == 200 ? " served" : "") + (completes(key).empty() ? "" : " completed"),
        outcome);
  }
}

// A cancel before any request ends the task at once; one while the service holds "upload/start"
// or the storage post, or while the start's answer waits for the main queue, ends it past the
// late answer. Either way it ends cancelled, once, with nothing completed.
TEST_F(UploadTaskTest, CancelEndsTheTaskCancelledOnceAtEveryStage) {
  for (const std::string stage : {"before", "upload/start", "storage", "answer"}) {
    SCOPED_TRACE(stage);
    auto task = makeTask(randomBytes(100000));
    const std::string key = task->components().remoteName();
    if (stage == "upload/start" || stage == "storage")
      fault({{"route", stage}, {"delay_ms", 2000}}, key);
    if (stage != "before") queue_.addOperation(task);
    const auto underWay = [&] {
      auto request = task->uploadTask();
      if (stage == "answer") return request && request->state() == HttpTask::State::completed;
      // Held up: its whole body has reached the service, which answers 2 s later.
      return stage == "before" ||
             (request && request->countOfBytesSent() == request->countOfBytesExpectedToSend() &&
              (stage != "storage" || request->originalRequest().url.path() == "/storage"));
    };
    // Not driving the main queue at the "answer" stage keeps the answer that has come waiting.
    for (const auto end = std::chrono::steady_clock::now() + 10s;
         !underWay() && std::chrono::steady_clock::now() < end;)
      stage != "answer" ? MainQueue::runFor(1ms) : std::this_thread::yield();
    ASSERT_TRUE(underWay());
    task->cancel();
    if (stage == "before") {
      EXPECT_EQ(delegate_->events("", true).size(), 1u);  // on this thread
      task->start();                                      // which sends nothing
    }
    settle(*task, 2500ms);
    EXPECT_EQ(final().kind + completes(key), "Cancelled");
    EXPECT_TRUE(stage != "storage" || task->uploadTask()->error()->code() == -999);
  }
}

class ScreencastUploadTest : public UploadTaskTest {
 protected:
  // A video of 95,000 bytes with a thumbnail of 4,000 and a page of 1,000.
  void SetUp() override {
    UploadTaskTest::SetUp();
    if (HasFatalFailure()) return;
    cast_ = std::make_unique<Screencast>(Url::fileURL(write("c." + kOwn, randomBytes(95000))));
    cast_->setThumbnailFileURL(Url::fileURL(write("c.png", randomBytes(4000))));
    pageFile_ = write("page.html", randomBytes(1000));
    video_ = urls_->generateShareURL(*cast_)->lastPathComponent();
    thumbnail_ = urls_->generateThumbnailShareURL(*cast_)->lastPathComponent();
    page_ = urls_->generateHTMLShareURL(*cast_)->lastPathComponent();
  }
  Result<std::shared_ptr<UploadScreencastTask>> make(const Screencast& cast) {
    return UploadScreencastTask::make(cast, *Url::parse(dev_->shareBase + "/" + video_),
                                      Url::fileURL(pageFile_),
                                      *Url::parse(dev_->shareBase + "/" + page_),
                                      *Resolver::resolveFromRoot<LocalFilesService>());
  }
  std::shared_ptr<UploadScreencastTask> makeTask() { return withDelegate(make(*cast_).value()); }
  std::vector<std::int64_t> servedFiles() const {
    return {served(page_), served(thumbnail_), served(video_)};
  }

  std::unique_ptr<Screencast> cast_;
  std::filesystem::path pageFile_;
  std::string video_, thumbnail_, page_;
};

TEST_F(ScreencastUploadTest, UploadsPageThumbnailVideoThenDeletesThemEndToEnd) {
  auto task = makeTask();
  fault({{"route", "storage"}, {"delay_ms", 300}}, page_);
  const std::size_t progressLines = logged("Common screencast progress = "),
                    startLines = logged("Start uploading ");
  const std::int64_t waited = run(task);
  const Event done = final();
  // Each file goes on from the one before, on a pool thread, never on the main queue.
  EXPECT_TRUE(done.kind == "UploadComplete" && !done.onMainThread) << done.kind;
  EXPECT_EQ(done.fileSize, 100000);
  // In milliseconds: at least the page's delay, at most what the test waited.
  EXPECT_TRUE(done.duration >= 300 && done.duration <= waited) << done.duration << " " << waited;
  EXPECT_EQ(logged("Start uploading "), startLines + 3);
  // Each file moves the common progress by its share: 1% the page, 4% the thumbnail.
  expectProgress({0.01, 0.05});
  EXPECT_EQ(logged("Common screencast progress = "),
            progressLines + delegate_->events("ProgressUpdated").size());
  EXPECT_EQ(servedFiles(), (std::vector<std::int64_t>{200, 200, 200}));
  EXPECT_TRUE(MainQueue::runUntil([&] { return completes(video_) == "200 "; }, 10s));

  // The delete tries every file, even after one failed.
  fault({{"route", "upload/delete"}, {"status", 500}}, thumbnail_);
  run(withDelegate(DeleteScreencastTask::make(*cast_, *urls_)));
  EXPECT_EQ(final().error, Error(ShareServiceError::failedDeleteOperation));
  EXPECT_FALSE(final().onMainThread);
  EXPECT_EQ(servedFiles(), (std::vector<std::int64_t>{403, 200, 403}));
}

// A failed file stops the rest; so does a cancel during the video, which ends the task cancelled
// without error. A file of unknown size stops the task from being made.
TEST_F(ScreencastUploadTest, AFailedFileOrACancelStopsTheRest) {
  auto task = makeTask();
  fault({{"route", "upload/start"}, {"status", 500}}, thumbnail_);
  run(task);
  EXPECT_TRUE(final().kind == "UploadError" && final().error->is<APIError>());
  EXPECT_EQ(servedFiles(), (std::vector<std::int64_t>{200, 403, 403}));

  task = makeTask();
  fault({{"route", "storage"}, {"delay_ms", 4000}}, video_);
  queue_.addOperation(task);
  const auto videoPosted = [&] {  // no other body is as large
    return task->uploadTask() && task->uploadTask()->countOfBytesExpectedToSend() > 95000;
  };
  ASSERT_TRUE(MainQueue::runUntil(videoPosted, 20s));
  task->cancel();
  settle(*task, 4000ms);
  EXPECT_EQ(final().kind + " " + completes(page_) + "| " + completes(video_), "Cancelled 200 | ");
  std::filesystem::remove(pageFile_);
  EXPECT_TRUE(make(Screencast(cast_->fileURL())).error() ==
              Error(UploadScreencastTaskError::screencastThumbnailFileSizeUnknown));
  EXPECT_TRUE(make(*cast_).error() ==
              Error(UploadScreencastTaskError::screencastHtmlFileSizeUnknown));
}

}  // namespace
}  // namespace lumo
