// Delete tasks against the reference service: one call after another, every file tried, one
// final call, no cancelling.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "lumo/api/APIError.h"
#include "lumo/api/EncodingError.h"
#include "lumo/capture/Screencast.h"
#include "lumo/capture/Screenshot.h"
#include "lumo/registry/Resolver.h"
#include "lumo/sharing/ShareServiceError.h"
#include "lumo/sharing/ShareURLHelperService.h"
#include "lumo/support/DispatchQueue.h"
#include "lumo/tasks/DeleteMultipleFilesTask.h"
#include "lumo/tasks/DeleteScreencastTask.h"
#include "lumo/tasks/DeleteSingleCaptureTask.h"
#include "lumo/tasks/DeleteSingleFileTask.h"
#include "task_test_support.h"

namespace lumo {
namespace {

using namespace std::chrono_literals;
using tasktest::DevStack;
using tasktest::Event;
using tasktest::RecordingDelegate;

constexpr const char* kDelete = "/api/v1/upload/delete/";

class DeleteTaskTest : public tasktest::ServiceTaskTest {
 protected:
  void SetUp() override {
    ServiceTaskTest::SetUp();
    urls_ = Resolver::resolveFromRoot<ShareURLHelperService>();
  }
  void runToEnd(const std::shared_ptr<DeleteTask>& task) {
    ServiceTaskTest::runToEnd(task);
    EXPECT_EQ(delegate_->events().front().kind, "deleteStarted");
  }

  // "upload/delete" calls with the body size of `name`'s.
  std::vector<nlohmann::json> deletes(const std::string& name) const {
    return stack_->callsWithBodySize(kDelete, tasktest::keyBodySize(name), since_);
  }

  std::shared_ptr<ShareURLHelperService> urls_;
};

// That a delete really removes an uploaded object is checked end to end by the sharing tests.
TEST_F(DeleteTaskTest, SingleDeleteFailureCarriesTheAPIError) {
  // The service answers 404 for an object it does not hold.
  auto task = std::make_shared<DeleteSingleFileTask>(
      DeleteTaskComponents{"00000000000000000000000000000000.png"});
  task->setDelegate(delegate_);
  runToEnd(task);
  const Event e = delegate_->finals().at(0);
  ASSERT_EQ(e.kind, "deleteError");
  ASSERT_TRUE(e.error->is<APIError>());
  EXPECT_EQ(e.error->as<APIError>()->kind(), APIError::Kind::errors);
}

TEST_F(DeleteTaskTest, CancelChangesNothing) {
  ASSERT_TRUE(stack_->fault({{"route", "upload/delete"},
                             {"status", 200},
                             {"delay_ms", 300},
                             {"body", nlohmann::json::object()}}));
  auto task = std::make_shared<DeleteSingleFileTask>(
      DeleteTaskComponents{"11111111111111111111111111111111.png"});
  task->setDelegate(delegate_);
  task->cancel();
  EXPECT_FALSE(task->isFinished());
  EXPECT_FALSE(task->isCancelled());
  queue_.addOperation(task);
  ASSERT_TRUE(MainQueue::runUntil([&] { return task->isExecuting(); }, 5s));
  task->cancel();
  ASSERT_TRUE(delegate_->waitForFinal());
  EXPECT_EQ(delegate_->finals().at(0).kind, "deleteComplete");
  EXPECT_EQ(delegate_->finals().size(), 1u);
}

TEST_F(DeleteTaskTest, ScreencastDeletesVideoThumbnailPageOneAfterAnother) {
  // This test's own extension gives the video's and the page's calls a body size of their own.
  Screencast cast(Url::fileURL(
      dir_.write(std::string("c.") + tasktest::kOwnExtension, tasktest::randomBytes(64))));
  const std::string video = urls_->generateShareURL(cast)->lastPathComponent();
  const std::string thumbnail = urls_->generateThumbnailShareURL(cast)->lastPathComponent();
  const std::string page = urls_->generateHTMLShareURL(cast)->lastPathComponent();
  for (int delay : {400, 1, 1}) {
    ASSERT_TRUE(stack_->fault({{"route", "upload/delete"},
                               {"status", 200},
                               {"delay_ms", delay},
                               {"body", nlohmann::json::object()}}));
  }
  auto task = DeleteScreencastTask::make(cast, *urls_);
  ASSERT_NE(task, nullptr);
  ASSERT_EQ(task->componentsArray().size(), 3u);
  EXPECT_EQ(task->componentsArray()[0].remoteName, video);
  EXPECT_EQ(task->componentsArray()[1].remoteName, thumbnail);
  EXPECT_EQ(task->componentsArray()[2].remoteName, page);
  task->setDelegate(delegate_);
  runToEnd(task);
  EXPECT_EQ(delegate_->finals().at(0).kind, "deleteComplete");
  // The task waits for each answer on its own thread and reports there.
  EXPECT_FALSE(delegate_->finals().at(0).onMainThread);

  auto videoCalls = deletes(video);
  auto pageCalls = deletes(page);
  ASSERT_EQ(videoCalls.size(), 1u);
  ASSERT_EQ(pageCalls.size(), 1u);
  // The later calls left only after the first, delayed by 400 ms, was answered.
  EXPECT_GE(pageCalls[0]["time"].get<double>() - videoCalls[0]["time"].get<double>(), 0.4);
}

TEST_F(DeleteTaskTest, OneFailedFileStillTriesTheOthers) {
  ASSERT_TRUE(stack_->fault(
      {{"route", "upload/delete"}, {"status", 200}, {"body", nlohmann::json::object()}}));
  ASSERT_TRUE(stack_->fault({{"route", "upload/delete"}, {"status", 500}}));
  ASSERT_TRUE(stack_->fault(
      {{"route", "upload/delete"}, {"status", 200}, {"body", nlohmann::json::object()}}));
  const std::string own = std::string(".") + tasktest::kOwnExtension;
  const std::string first = "22222222222222222222222222222222" + own;
  const std::string last = "v22222222222222222222222222222222" + own;
  auto task = std::make_shared<DeleteMultipleFilesTask>(
      std::vector<DeleteTaskComponents>{{first}, {"22222222222222222222222222222222.png"}, {last}});
  task->setDelegate(delegate_);
  runToEnd(task);
  const Event e = delegate_->finals().at(0);
  ASSERT_EQ(e.kind, "deleteError");
  EXPECT_TRUE(*e.error == Error(ShareServiceError::failedDeleteOperation));
  EXPECT_EQ(deletes(first).size(), 1u);
  EXPECT_EQ(deletes(last).size(), 1u);  // sent after the second failed
}

TEST_F(DeleteTaskTest, NamesThatAreNotUTF8FailAndAnEmptyListCompletesInsteadOfWaiting) {
  auto single = std::make_shared<DeleteSingleFileTask>(DeleteTaskComponents{"abc.\xff"});
  single->setDelegate(delegate_);
  runToEnd(single);
  ASSERT_EQ(delegate_->finals().at(0).kind, "deleteError");
  EXPECT_TRUE(delegate_->finals().at(0).error->is<EncodingError>());

  delegate_ = std::make_shared<RecordingDelegate>();
  auto multiple = std::make_shared<DeleteMultipleFilesTask>(
      std::vector<DeleteTaskComponents>{{"abc.\xff"}, {"abc.\xfe"}});
  multiple->setDelegate(delegate_);
  runToEnd(multiple);
  ASSERT_EQ(delegate_->finals().at(0).kind, "deleteError");
  EXPECT_TRUE(*delegate_->finals().at(0).error == Error(ShareServiceError::failedDeleteOperation));

  // An empty list has nothing to fail.
  delegate_ = std::make_shared<RecordingDelegate>();
  auto none = std::make_shared<DeleteMultipleFilesTask>(std::vector<DeleteTaskComponents>{});
  none->setDelegate(delegate_);
  runToEnd(none);
  EXPECT_EQ(delegate_->finals().at(0).kind, "deleteComplete");
}

TEST_F(DeleteTaskTest, NoShareURLGivesNoTask) {
  Screenshot missing(Url::fileURL("/nonexistent/lumo/a.png"));
  EXPECT_EQ(DeleteSingleCaptureTask::make(missing, *urls_), nullptr);
  Screencast missingCast(Url::fileURL("/nonexistent/lumo/c.mp4"));
  EXPECT_EQ(DeleteScreencastTask::make(missingCast, *urls_), nullptr);
}

}  // namespace
}  // namespace lumo
