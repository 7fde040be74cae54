// Screencast uploads against the reference service: page, thumbnail and video in this order,
// one progress weighted by their sizes, and one outcome.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "lumo/api/APIError.h"
#include "lumo/capture/Screencast.h"
#include "lumo/registry/Resolver.h"
#include "lumo/sharing/ShareURLHelperService.h"
#include "lumo/storage/LocalFilesService.h"
#include "lumo/support/DispatchQueue.h"
#include "lumo/tasks/UploadScreencastTask.h"
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

class ScreencastUploadTest : public tasktest::ServiceTaskTest {
 protected:
  // A screencast of 95,000 bytes with a thumbnail of 4,000 and a page of 1,000 on disk. With
  // this test's own extension, the video's and the page's API calls can be told from others'.
  void makeFiles(const std::string& extension = "mp4") {
    videoBytes_ = tasktest::randomBytes(95000);
    thumbnailBytes_ = tasktest::randomBytes(4000);
    pageBytes_ = tasktest::randomBytes(1000);
    screencast_ =
        std::make_unique<Screencast>(Url::fileURL(dir_.write("cast." + extension, videoBytes_)));
    screencast_->setThumbnailFileURL(Url::fileURL(dir_.write("cast.png", thumbnailBytes_)));
    pageFile_ = dir_.write("page.html", pageBytes_);
  }

  Result<std::shared_ptr<UploadScreencastTask>> makeTask() {
    auto urls = Resolver::resolveFromRoot<ShareURLHelperService>();
    const Url video = urls->generateShareURL(*screencast_).value();
    const Url page = urls->generateHTMLShareURL(*screencast_).value();
    videoName_ = video.lastPathComponent();
    pageName_ = page.lastPathComponent();
    thumbnailName_ = urls->generateThumbnailShareURL(*screencast_)->lastPathComponent();
    return UploadScreencastTask::make(*screencast_, video, Url::fileURL(pageFile_), page,
                                      *Resolver::resolveFromRoot<LocalFilesService>());
  }

  std::shared_ptr<UploadScreencastTask> readyTask() {
    Result<std::shared_ptr<UploadScreencastTask>> task = makeTask();
    EXPECT_TRUE(task.ok());
    if (!task.ok()) return nullptr;
    (*task)->setDelegate(delegate_);
    return *task;
  }

  // The remote names of this screencast's storage posts, in the order they arrived.
  std::vector<std::string> postedKeys() const {
    std::vector<std::string> keys;
    for (const auto& post : stack_->requests("/storage")) {
      if (post["time"] < since_) continue;
      const Bytes raw = tasktest::decodeBase64(post.value("body_b64", ""));
      const std::string body(raw.begin(), raw.end());
      for (const std::string& name : {pageName_, thumbnailName_, videoName_}) {
        if (body.find("name=\"key\"\r\n\r\n" + name + "\r\n") != std::string::npos) {
          keys.push_back(name);
        }
      }
    }
    return keys;
  }

  Bytes videoBytes_, thumbnailBytes_, pageBytes_;
  std::unique_ptr<Screencast> screencast_;
  fs::path pageFile_;
  std::string videoName_, pageName_, thumbnailName_;
};

TEST_F(ScreencastUploadTest, UploadsPageThumbnailThenVideoWithWeightedProgress) {
  makeFiles();
  stack_->captureStorageBodies(true);  // off again after the test
  auto task = readyTask();
  ASSERT_NE(task, nullptr);
  EXPECT_EQ(task->fileSize(), 100000);
  runToEnd(task);

  const Event done = delegate_->finals().at(0);
  ASSERT_EQ(done.kind, "complete") << (done.error ? done.error->localizedDescription() : "");
  EXPECT_EQ(done.fileSize, 100000);
  // The task waits on its own thread; the final call comes there, not on the main queue.
  EXPECT_FALSE(done.onMainThread);
  EXPECT_EQ(delegate_->events().front().kind, "started");

  EXPECT_EQ(postedKeys(), (std::vector<std::string>{pageName_, thumbnailName_, videoName_}));
  for (const std::string& name : {pageName_, thumbnailName_, videoName_}) {
    for (const auto& post : stack_->storagePostsFor(name, since_))
      EXPECT_EQ(post["status"], 204) << name;
  }

  // The common progress moves by each file's share: 1% for the page, 4% for the thumbnail.
  bool sawPageDone = false, sawThumbnailDone = false;
  double last = 0;
  for (const Event& e : delegate_->events()) {
    if (e.kind != "progress") continue;
    EXPECT_TRUE(e.onMainThread);
    EXPECT_GE(e.progress + 1e-12, last);
    last = e.progress;
    sawPageDone |= std::abs(e.progress - 0.01) < 1e-9;
    sawThumbnailDone |= std::abs(e.progress - 0.05) < 1e-9;
  }
  EXPECT_TRUE(sawPageDone);
  EXPECT_TRUE(sawThumbnailDone);
  EXPECT_NEAR(last, 1.0, 1e-9);

  // "upload/complete" was sent for each (the video's and the thumbnail's names have the same
  // length). What the links serve is checked end to end by the sharing tests.
  EXPECT_TRUE(MainQueue::runUntil(
      [&] { return completes(pageName_) >= 1 && completes(videoName_) >= 2; }, 10s));
}

// The order, types and the progress steps of a real upload are checked above; here the edges.
TEST_F(ScreencastUploadTest, CommonProgressWeighsEachFileBySizeAndIgnoresUnknownNames) {
  makeFiles();
  auto task = readyTask();
  ASSERT_NE(task, nullptr);
  ASSERT_TRUE(task->makeUploadComponents().ok());
  EXPECT_NEAR(task->commonProgress({{1.0, 1000, pageName_}, {0.5, 4000, thumbnailName_}}), 0.03,
              1e-12);
  EXPECT_NEAR(task->commonProgress(
                  {{1.0, 1000, pageName_}, {1.0, 4000, thumbnailName_}, {1.0, 95000, videoName_}}),
              1.0, 1e-12);
  EXPECT_EQ(task->commonProgress({}), 0.0);

  // Reports replace the file's earlier one; unknown names are ignored.
  task->updateProgress(pageName_, 0.5);
  task->updateProgress(pageName_, 1.0);
  task->updateProgress("unknown.bin", 1.0);
  EXPECT_EQ(task->progressSet().size(), 1u);
  ASSERT_EQ(delegate_->count("progress"), 2u);
  EXPECT_NEAR(delegate_->events().back().progress, 0.01, 1e-12);
}

TEST_F(ScreencastUploadTest, FailedThumbnailStopsBeforeTheVideo) {
  makeFiles();
  auto task = readyTask();
  ASSERT_NE(task, nullptr);
  // The page's start goes through; the thumbnail's is refused.
  ASSERT_TRUE(stack_->fault({{"route", "upload/start"}, {"delay_ms", 1}}));
  ASSERT_TRUE(stack_->fault({{"route", "upload/start"}, {"status", 500}}));
  runToEnd(task);
  const Event e = delegate_->finals().at(0);
  ASSERT_EQ(e.kind, "error");
  ASSERT_TRUE(e.error->is<APIError>());
  EXPECT_EQ(e.error->as<APIError>()->errorResponse().errors,
            std::vector<std::string>{"injected fault"});
  EXPECT_EQ(e.fileSize, 100000);
  EXPECT_EQ(served(pageName_), 200);
  EXPECT_EQ(served(thumbnailName_), 403);  // what the delivery address says of a missing file
  EXPECT_EQ(served(videoName_), 403);
}

TEST_F(ScreencastUploadTest, CancelDuringTheVideoEndsCancelledWithoutError) {
  makeFiles(tasktest::kOwnExtension);
  auto task = readyTask();
  ASSERT_NE(task, nullptr);
  ASSERT_TRUE(stack_->fault({{"route", "storage"}, {"delay_ms", 1}}));
  ASSERT_TRUE(stack_->fault({{"route", "storage"}, {"delay_ms", 1}}));
  ASSERT_TRUE(stack_->fault({{"route", "storage"}, {"delay_ms", 4000}}));
  queue_.addOperation(task);
  // The video's post (the only body over 95,000 bytes) is running.
  ASSERT_TRUE(MainQueue::runUntil(
      [&] {
        auto post = task->uploadTask();
        return post && post->originalRequest().url.path() == "/storage" &&
               post->countOfBytesExpectedToSend() > 95000;
      },
      20s));
  task->cancel();
  ASSERT_TRUE(delegate_->waitForFinal());
  MainQueue::runFor(300ms);
  expectEndedOnce(*task);
  EXPECT_EQ(delegate_->finals().at(0).kind, "cancelled");
  EXPECT_EQ(delegate_->count("error"), 0u);
  MainQueue::runFor(4000ms);
  EXPECT_EQ(completes(pageName_), 1u);
  EXPECT_EQ(completes(videoName_), 0u);
}

TEST_F(ScreencastUploadTest, CancelBeforeStartEndsOnceAndSendsNothing) {
  makeFiles(tasktest::kOwnExtension);
  auto task = readyTask();
  ASSERT_NE(task, nullptr);
  task->cancel();
  EXPECT_EQ(delegate_->finals().size(), 1u);
  EXPECT_EQ(delegate_->finals().at(0).kind, "cancelled");
  EXPECT_FALSE(queue_.addOperation(task));
  MainQueue::runFor(200ms);
  EXPECT_EQ(
      stack_
          ->callsWithBodySize(kStart, tasktest::startBodySize("text/html", 1000, pageName_), since_)
          .size(),
      0u);
}

TEST_F(ScreencastUploadTest, MakingFailsForTheFirstFileOfUnknownSize) {
  makeFiles();
  // The video is checked first, even when the page is gone too.
  fs::remove(pageFile_);
  fs::rename(screencast_->fileURL().filePath(), dir_.path() / "moved.mp4");
  Result<std::shared_ptr<UploadScreencastTask>> task = UploadScreencastTask::make(
      *screencast_, Url::fileURL("/x.mp4"), Url::fileURL(pageFile_), Url::fileURL("/v.mp4"),
      *Resolver::resolveFromRoot<LocalFilesService>());
  ASSERT_FALSE(task.ok());
  EXPECT_TRUE(task.error() == Error(UploadScreencastTaskError::screencastFileSizeUnknown));

  fs::rename(dir_.path() / "moved.mp4", screencast_->fileURL().filePath());
  Screencast withoutThumbnail(screencast_->fileURL());
  Result<std::shared_ptr<UploadScreencastTask>> noThumbnail = UploadScreencastTask::make(
      withoutThumbnail, Url::fileURL("/x.mp4"), Url::fileURL(pageFile_), Url::fileURL("/v.mp4"),
      *Resolver::resolveFromRoot<LocalFilesService>());
  ASSERT_FALSE(noThumbnail.ok());
  EXPECT_TRUE(noThumbnail.error() ==
              Error(UploadScreencastTaskError::screencastThumbnailFileSizeUnknown));

  Result<std::shared_ptr<UploadScreencastTask>> noPage = UploadScreencastTask::make(
      *screencast_, Url::fileURL("/x.mp4"), Url::fileURL(pageFile_), Url::fileURL("/v.mp4"),
      *Resolver::resolveFromRoot<LocalFilesService>());
  ASSERT_FALSE(noPage.ok());
  EXPECT_TRUE(noPage.error() == Error(UploadScreencastTaskError::screencastHtmlFileSizeUnknown));
}

}  // namespace
}  // namespace lumo
