#include <gtest/gtest.h>

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
    EXPECT_EQ(&queue, expected);
    counts.add(count);
  }
  // The counts once there are `n`.
  Counts waitFor(std::size_t n) {
    for (int i = 0; i < 3000 && counts().size() < n; ++i) std::this_thread::sleep_for(10ms);
    return counts();
  }
  UploadQueue* expected = nullptr;
  test::Record<std::int64_t> counts;
};

// An upload that has sent nothing runs until it is cancelled, then ends at once.
std::shared_ptr<UploadTask> add(UploadQueue& queue) {
  auto task = std::make_shared<UploadTask>();
  queue.addUploadTask(task);
  for (int i = 0; i < 3000 && !task->isExecuting(); ++i) std::this_thread::sleep_for(10ms);
  return task;
}

TEST(UploadQueue, EveryTaskAddedAndEndedReportsTheCountToAWeaklyHeldDelegate) {
  states_test::registerStatesHost(/*debug=*/false);
  auto queue = std::make_shared<UploadQueue>();
  auto recorder = std::make_shared<CountRecorder>();
  recorder->expected = queue.get();
  auto unheard = add(*queue);  // no delegate yet: dropped, and nothing stale comes later
  unheard->cancel();
  unheard->waitUntilFinished();
  auto running = add(*queue);
  ASSERT_TRUE(running->isExecuting());
  queue->setDelegate(recorder);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 25; ++i) {
        auto task = std::make_shared<UploadTask>();
        queue->addUploadTask(task);
        task->cancel();  // before or after it started: it ends either way
      }
    });
  }
  for (auto& thread : threads) thread.join();
  queue->addDeleteTask(
      std::make_shared<DeleteMultipleFilesTask>(std::vector<DeleteTaskComponents>{}));
  const auto counts = recorder->waitFor(402);
  ASSERT_EQ(counts.size(), 402u);
  std::int64_t previous = 1;  // the task still running
  for (std::int64_t count : counts) {
    EXPECT_EQ(std::abs(count - previous), 1);  // one change at a time, in order
    previous = count;
  }
  EXPECT_EQ(previous, 1);

  std::weak_ptr<CountRecorder> weak = recorder;
  queue.reset();  // a queue gone with a task in it reports nothing more
  running->cancel();
  running->waitUntilFinished();
  EXPECT_EQ(recorder->counts().size(), 402u);
  recorder.reset();
  EXPECT_TRUE(weak.expired());
  Resolver::reset();
}

}  // namespace
}  // namespace lumo
