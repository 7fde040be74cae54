// Screencast uploads and deletes against the reference service: page, thumbnail and video in
// this order, one progress weighted by their sizes, one outcome.

#include <chrono>
#include <cmath>

#include "lumo/api/APIError.h"
#include "lumo/capture/Screencast.h"
#include "lumo/registry/Resolver.h"
#include "lumo/sharing/ShareServiceError.h"
#include "lumo/sharing/ShareURLHelperService.h"
#include "lumo/storage/LocalFilesService.h"
#include "lumo/tasks/DeleteScreencastTask.h"
#include "lumo/tasks/UploadScreencastTask.h"
#include "task_test_support.h"

namespace lumo::tasktest {
namespace {

using namespace std::chrono_literals;

class ScreencastUploadTest : public ServiceTaskTest {
 protected:
  // A video of 95,000 bytes with a thumbnail of 4,000 and a page of 1,000.
  void SetUp() override {
    ServiceTaskTest::SetUp();
    if (HasFatalFailure()) return;
    cast_ = std::make_unique<Screencast>(Url::fileURL(write("c." + kOwn, randomBytes(95000))));
    cast_->setThumbnailFileURL(Url::fileURL(write("c.png", randomBytes(4000))));
    pageFile_ = write("page.html", randomBytes(1000));
    urls_ = Resolver::resolveFromRoot<ShareURLHelperService>();
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
  std::shared_ptr<UploadScreencastTask> makeTask() {
    auto task = make(*cast_).value();
    task->setDelegate(delegate_);
    return task;
  }
  void expectServed(std::int64_t status) {
    for (const std::string& name : {page_, thumbnail_, video_})
      EXPECT_EQ(served(name), status) << name;
  }

  std::shared_ptr<ShareURLHelperService> urls_;
  std::unique_ptr<Screencast> cast_;
  std::filesystem::path pageFile_;
  std::string video_, thumbnail_, page_;
};

TEST_F(ScreencastUploadTest, UploadsPageThumbnailVideoThenDeletesThemEndToEnd) {
  auto task = makeTask();
  EXPECT_EQ(task->fileSize(), 100000);
  fault({{"route", "storage"}, {"delay_ms", 300}}, page_);
  const std::size_t progressLines = logged("Common screencast progress = ");
  const auto began = std::chrono::steady_clock::now();
  run(task);
  const auto waited = std::chrono::steady_clock::now() - began;
  const Event done = final();
  ASSERT_EQ(done.kind, "UploadComplete");
  EXPECT_FALSE(done.onMainThread);  // the task waits for each file on its own thread
  EXPECT_EQ(done.fileSize, 100000);
  // In milliseconds: at least the page's delay, at most what the test waited.
  EXPECT_GE(done.duration, 300);
  EXPECT_LE(done.duration, std::chrono::duration_cast<std::chrono::milliseconds>(waited).count());
  EXPECT_EQ(delegate_->events().front().kind, "UploadStarted");
  const auto starts = log().linesStartingWith("Start uploading ");
  ASSERT_GE(starts.size(), 3u);
  EXPECT_EQ(std::vector(starts.end() - 3, starts.end()),
            (std::vector<std::string>{"Start uploading " + page_, "Start uploading " + thumbnail_,
                                      "Start uploading " + video_}));
  // Each file moves the common progress by its share: 1% the page, 4% the thumbnail.
  const auto progress = delegate_->events("ProgressUpdated");
  double last = 0;
  bool pageDone = false, thumbnailDone = false;
  for (const Event& e : progress) {
    EXPECT_TRUE(e.onMainThread);
    EXPECT_GE(e.progress + 1e-12, last);
    last = e.progress;
    pageDone |= std::abs(last - 0.01) < 1e-9;
    thumbnailDone |= std::abs(last - 0.05) < 1e-9;
  }
  EXPECT_TRUE(pageDone && thumbnailDone);
  EXPECT_NEAR(last, 1.0, 1e-9);
  EXPECT_EQ(logged("Common screencast progress = "), progressLines + progress.size());
  EXPECT_EQ(task->uploadTask()->originalRequest().timeoutInterval, 60s);
  expectServed(200);
  EXPECT_TRUE(MainQueue::runUntil(
      [&] {
        return calls("upload/complete", page_).size() + calls("upload/complete", video_).size() ==
               2;
      },
      10s));

  // The delete sends video, thumbnail and page, each once the one before was answered.
  auto remove = DeleteScreencastTask::make(*cast_, *urls_);
  fault({{"route", "upload/delete"}, {"delay_ms", 400}}, video_);
  remove->setDelegate(delegate_ = std::make_shared<RecordingDelegate>());
  run(remove);
  EXPECT_EQ(final().kind, "DeleteComplete");
  EXPECT_FALSE(final().onMainThread);
  expectServed(403);
  const auto videoCalls = calls("upload/delete", video_), pageCalls = calls("upload/delete", page_);
  ASSERT_EQ(videoCalls.size(), 1u);
  ASSERT_EQ(pageCalls.size(), 1u);
  EXPECT_GE(pageCalls[0]["time"].get<double>() - videoCalls[0]["time"].get<double>(), 0.4);
}

TEST_F(ScreencastUploadTest, AFailedFileStopsTheRest) {
  auto task = makeTask();
  fault({{"route", "upload/start"}, {"status", 500}}, thumbnail_);
  run(task);
  ASSERT_EQ(final().kind, "UploadError");
  EXPECT_TRUE(final().error->is<APIError>());
  EXPECT_EQ(final().fileSize, 100000);
  EXPECT_EQ(served(page_), 200);
  EXPECT_EQ(served(thumbnail_), 403);
  EXPECT_EQ(served(video_), 403);
}

TEST_F(ScreencastUploadTest, CancelDuringTheVideoEndsCancelledWithoutError) {
  auto task = makeTask();
  fault({{"route", "storage"}, {"delay_ms", 4000}}, video_);
  queue_.addOperation(task);
  ASSERT_TRUE(MainQueue::runUntil(
      [&] {
        auto post = task->uploadTask();
        return post && post->originalRequest().url.path() == "/storage" &&
               post->countOfBytesExpectedToSend() > 95000;
      },
      20s));
  task->cancel();
  ASSERT_TRUE(waitForFinal());
  MainQueue::runFor(4000ms);  // past the late answer
  expectEndedOnce(*task);
  EXPECT_EQ(final().kind, "Cancelled");
  EXPECT_EQ(calls("upload/complete", page_).size(), 1u);
  EXPECT_TRUE(calls("upload/complete", video_).empty());
}

TEST_F(ScreencastUploadTest, MakingFailsForTheFirstFileOfUnknownSize) {
  const auto failsWith = [this](const Screencast& cast, UploadScreencastTaskError error) {
    auto task = make(cast);
    return !task.ok() && task.error() == Error(error);
  };
  std::filesystem::remove(pageFile_);
  EXPECT_TRUE(failsWith(Screencast(cast_->fileURL()),
                        UploadScreencastTaskError::screencastThumbnailFileSizeUnknown));
  EXPECT_TRUE(failsWith(*cast_, UploadScreencastTaskError::screencastHtmlFileSizeUnknown));
  std::filesystem::remove(cast_->fileURL().filePath());
  EXPECT_TRUE(failsWith(*cast_, UploadScreencastTaskError::screencastFileSizeUnknown));
}

// Every file is tried even after one failed; names that cannot be sent fail instead of waiting.
TEST_F(ScreencastUploadTest, DeletingManyFilesTriesEachAndFailsIfAnyFailed) {
  for (const auto& [key, status] : {std::pair{video_, 200}, {thumbnail_, 500}, {page_, 200}}) {
    fault({{"route", "upload/delete"}, {"status", status}, {"body", json::object()}}, key);
  }
  for (const std::vector<DeleteTaskComponents>& list :
       std::vector<std::vector<DeleteTaskComponents>>{
           {{video_}, {thumbnail_}, {page_}}, {{"a.\xff"}, {"b.\xfe"}}, {}}) {
    SCOPED_TRACE(list.size());
    auto task = std::make_shared<DeleteMultipleFilesTask>(list);
    task->setDelegate(delegate_ = std::make_shared<RecordingDelegate>());
    run(task);
    const Event e = final();
    EXPECT_TRUE(list.empty() ? e.kind == "DeleteComplete"
                             : e.error == Error(ShareServiceError::failedDeleteOperation))
        << e.kind;
  }
  EXPECT_EQ(dev_->call("GET", "/__dev__/faults").text().find(page_), std::string::npos);
}

}  // namespace
}  // namespace lumo::tasktest
