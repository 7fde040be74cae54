#include <gtest/gtest.h>

#include <condition_variable>
#include <thread>

#include "StatesTestHost.h"
#include "lumo/sharing/UploadQueue.h"
#include "lumo/tasks/DeleteMultipleFilesTask.h"
#include "lumo/tasks/UploadTask.h"

namespace lumo {
namespace {

using namespace std::chrono_literals;
using Counts = std::vector<std::int64_t>;

class CountRecorder : public UploadQueueDelegate {
 public:
  void uploadQueue(UploadQueue& queue, std::int64_t count) override {
    std::lock_guard lock(mu_);
    EXPECT_EQ(&queue, expected);
    counts_.push_back(count);
    changed_.notify_all();
  }
  // The counts once there are `n` of them.
  Counts waitFor(std::size_t n) {
    std::unique_lock lock(mu_);
    changed_.wait_for(lock, 30s, [&] { return counts_.size() >= n; });
    return counts_;
  }
  UploadQueue* expected = nullptr;

 private:
  std::mutex mu_;
  std::condition_variable changed_;
  Counts counts_;  // guarded by mu_
};

// An upload that has sent nothing runs until it is cancelled, then ends at once.
std::shared_ptr<UploadTask> started(UploadQueue& queue) {
  auto task = std::make_shared<UploadTask>();
  queue.addUploadTask(task);
  for (int i = 0; i < 6000 && !task->isExecuting(); ++i) std::this_thread::sleep_for(5ms);
  EXPECT_TRUE(task->isExecuting());
  return task;
}

class UploadQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    states_test::registerStatesHost(/*debug=*/false);
    recorder_->expected = queue_.get();
  }
  void TearDown() override { Resolver::reset(); }

  std::shared_ptr<UploadQueue> queue_ = std::make_shared<UploadQueue>();
  std::shared_ptr<CountRecorder> recorder_ = std::make_shared<CountRecorder>();
};

TEST_F(UploadQueueTest, EveryTaskAddedAndEndedReportsTheCountToAWeaklyHeldDelegate) {
  auto unheard = started(*queue_);  // no delegate yet: dropped, and nothing stale comes later
  unheard->cancel();
  unheard->waitUntilFinished();
  queue_->setDelegate(recorder_);
  EXPECT_EQ(queue_->delegate(), recorder_);
  auto first = started(*queue_);
  auto second = started(*queue_);
  first->cancel();
  second->cancel();
  queue_->addDeleteTask(
      std::make_shared<DeleteMultipleFilesTask>(std::vector<DeleteTaskComponents>{}));
  EXPECT_EQ(recorder_->waitFor(6), (Counts{1, 2, 1, 0, 1, 0}));

  auto task = started(*queue_);
  queue_.reset();  // a queue gone with a task in it reports nothing more
  task->cancel();
  task->waitUntilFinished();
  EXPECT_EQ(recorder_->waitFor(7), (Counts{1, 2, 1, 0, 1, 0, 1}));
  std::weak_ptr<CountRecorder> recorder = recorder_;
  recorder_.reset();
  EXPECT_TRUE(recorder.expired());
}

TEST_F(UploadQueueTest, ManyThreadsAddingAndCancellingReportEveryStepAndEndAtZero) {
  queue_->setDelegate(recorder_);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 25; ++i) {
        auto task = std::make_shared<UploadTask>();
        queue_->addUploadTask(task);
        task->cancel();  // before or after it started: it ends either way
      }
    });
  }
  for (auto& thread : threads) thread.join();
  const auto counts = recorder_->waitFor(400);
  ASSERT_EQ(counts.size(), 400u);
  std::int64_t previous = 0;
  for (std::int64_t count : counts) {
    EXPECT_EQ(std::abs(count - previous), 1);
    previous = count;
  }
  EXPECT_EQ(previous, 0);
}

}  // namespace
}  // namespace lumo
