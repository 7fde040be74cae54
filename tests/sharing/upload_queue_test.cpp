#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "StatesTestHost.h"
#include "lumo/sharing/UploadQueue.h"
#include "lumo/tasks/DeleteMultipleFilesTask.h"
#include "lumo/tasks/UploadTask.h"

namespace lumo {
namespace {

using namespace std::chrono_literals;

// Records every count the queue reports, with the queue it came from.
class CountRecorder : public UploadQueueDelegate {
 public:
  void uploadQueue(UploadQueue& queue, std::int64_t operationCountChanged) override {
    std::lock_guard lock(mu_);
    queues_.push_back(&queue);
    counts_.push_back(operationCountChanged);
    changed_.notify_all();
  }
  // Waits until `n` counts have come, and returns all of them.
  std::vector<std::int64_t> waitFor(std::size_t n) {
    std::unique_lock lock(mu_);
    changed_.wait_for(lock, 10s, [&] { return counts_.size() >= n; });
    return counts_;
  }
  std::vector<UploadQueue*> queues() const {
    std::lock_guard lock(mu_);
    return queues_;
  }

 private:
  mutable std::mutex mu_;
  std::condition_variable changed_;
  std::vector<std::int64_t> counts_;  // guarded by mu_
  std::vector<UploadQueue*> queues_;  // guarded by mu_
};

// An upload that has not sent anything yet runs until it is cancelled, then ends at once.
std::shared_ptr<UploadTask> idleUpload() {
  return std::make_shared<UploadTask>();
}

void waitUntilExecuting(const std::shared_ptr<UploadTask>& task) {
  for (int i = 0; i < 1000 && !task->isExecuting(); ++i) std::this_thread::sleep_for(5ms);
  ASSERT_TRUE(task->isExecuting());
}

class UploadQueueTest : public ::testing::Test {
 protected:
  void SetUp() override { states_test::registerStatesHost(/*debug=*/false); }
  void TearDown() override { Resolver::reset(); }

  std::shared_ptr<UploadQueue> queue_ = std::make_shared<UploadQueue>();
  std::shared_ptr<CountRecorder> recorder_ = std::make_shared<CountRecorder>();
};

TEST_F(UploadQueueTest, EachTaskAddedAndFinishedReportsTheNewCount) {
  queue_->setDelegate(recorder_);
  auto first = idleUpload();
  auto second = idleUpload();
  queue_->addUploadTask(first);
  waitUntilExecuting(first);
  queue_->addUploadTask(second);
  EXPECT_EQ(recorder_->waitFor(2), (std::vector<std::int64_t>{1, 2}));
  waitUntilExecuting(second);
  first->cancel();
  EXPECT_EQ(recorder_->waitFor(3), (std::vector<std::int64_t>{1, 2, 1}));
  second->cancel();
  EXPECT_EQ(recorder_->waitFor(4), (std::vector<std::int64_t>{1, 2, 1, 0}));
  for (UploadQueue* reported : recorder_->queues()) EXPECT_EQ(reported, queue_.get());
}

TEST_F(UploadQueueTest, DeleteTasksAreCountedToo) {
  queue_->setDelegate(recorder_);
  // A delete of no files ends as soon as it starts.
  queue_->addDeleteTask(
      std::make_shared<DeleteMultipleFilesTask>(std::vector<DeleteTaskComponents>{}));
  EXPECT_EQ(recorder_->waitFor(2), (std::vector<std::int64_t>{1, 0}));
}

TEST_F(UploadQueueTest, WithoutADelegateChangesAreDroppedAndTheDelegateIsHeldWeakly) {
  auto task = idleUpload();
  queue_->addUploadTask(task);
  waitUntilExecuting(task);
  task->cancel();
  task->waitUntilFinished();

  queue_->setDelegate(recorder_);
  EXPECT_EQ(queue_->delegate(), recorder_);
  auto next = idleUpload();
  queue_->addUploadTask(next);
  EXPECT_EQ(recorder_->waitFor(1), std::vector<std::int64_t>{1});  // nothing stale before it

  std::weak_ptr<CountRecorder> weak = recorder_;
  recorder_.reset();
  EXPECT_TRUE(weak.expired());
  EXPECT_EQ(queue_->delegate(), nullptr);
  waitUntilExecuting(next);
  next->cancel();
  next->waitUntilFinished();
}

TEST_F(UploadQueueTest, ManyThreadsAddingAndCancellingEndAtZeroWithEveryChangeReported) {
  queue_->setDelegate(recorder_);
  constexpr int kThreads = 8;
  constexpr int kTasks = 25;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kTasks; ++i) {
        auto task = idleUpload();
        queue_->addUploadTask(task);
        task->cancel();  // before or after it started: it ends either way
      }
    });
  }
  for (auto& thread : threads) thread.join();
  const auto counts = recorder_->waitFor(2 * kThreads * kTasks);
  ASSERT_EQ(counts.size(), 2u * kThreads * kTasks);
  EXPECT_EQ(counts.back(), 0);
  // Reported one change at a time, in order: every step is one up or one down.
  std::int64_t previous = 0;
  for (std::int64_t count : counts) {
    EXPECT_EQ(std::abs(count - previous), 1);
    previous = count;
  }
}

TEST_F(UploadQueueTest, AQueueGoingAwayWithTasksInItReportsNothingMore) {
  queue_->setDelegate(recorder_);
  auto task = idleUpload();
  queue_->addUploadTask(task);
  waitUntilExecuting(task);
  queue_.reset();
  task->cancel();
  task->waitUntilFinished();
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(recorder_->waitFor(1), std::vector<std::int64_t>{1});
}

}  // namespace
}  // namespace lumo
