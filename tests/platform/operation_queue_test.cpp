#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "lumo/platform/Operation.h"
#include "lumo/platform/OperationQueue.h"
#include "lumo/support/DispatchQueue.h"

namespace lumo {
namespace {

using namespace std::chrono_literals;
using Counts = std::vector<std::int64_t>;

const auto eventually = [](auto done) { return MainQueue::runUntil(done, 30s); };

// An asynchronous operation that owns its two flags, as the transfer tasks do: a write of
// executing is always announced, a write of finished only when it changes the value. Its
// work is done when the test calls `complete()`; cancelling it before it runs finishes it.
struct AsyncTask : Operation {
  bool isAsynchronous() const override { return true; }
  bool isExecuting() const override { return executing_; }
  bool isFinished() const override { return finished_; }
  void setExecuting(bool value) override { set("isExecuting", executing_, value); }
  void setFinished(bool value) override {
    if (finished_ != value) set("isFinished", finished_, value);
  }
  void start() override {
    ++startCalls;
    if (!isExecuting() && !isFinished()) setExecuting(true);
  }
  void cancel() override { Operation::cancel(), complete(); }
  void complete() { setExecuting(false), setFinished(true); }
  void set(const char* key, std::atomic<bool>& flag, bool value) {
    willChangeValue(key), flag = value, didChangeValue(key);
  }
  std::atomic<bool> executing_{false}, finished_{false};
  std::atomic<int> startCalls{0};
};

// Every operation count a queue reports, from an observer that calls back into the queue.
struct Recorded {
  explicit Recorded(OperationQueue& queue) {
    queue.addObserver("operationCount", [this, &queue](const KeyValueChange& change) {
      if (change.isPrior || queue.operationCount() < 0) return;
      std::lock_guard lock(mu);
      counts.push_back(change.newValue.value_or(-1));
    });
    queue.addObserver("operations", [](const KeyValueChange&) { FAIL(); });
  }
  Counts get() {
    std::lock_guard lock(mu);
    return counts;
  }
  std::mutex mu;
  Counts counts;  // guarded by mu
};

struct CountingOperation : Operation {
  void main() override { ++mainRuns; }
  std::atomic<int> mainRuns{0};
};

TEST(OperationTest, AnnouncesEachStateChangeOnceAndACancelledOneNeverRuns) {
  for (bool cancelled : {false, true}) {
    auto op = std::make_shared<CountingOperation>();
    using Announced = std::map<std::string, std::pair<int, int>>;  // will- and did-change
    Announced announced;
    for (const char* key : {"isExecuting", "isFinished", "isCancelled"}) {
      op->addObserver(key, [&](Operation&, const KeyValueChange& change) {
        ++(change.isPrior ? announced[change.keyPath].first : announced[change.keyPath].second);
      });
    }
    std::atomic<int> completions{0};
    op->setCompletionBlock([&] { ++completions; });
    if (cancelled) op->cancel(), op->cancel();
    op->start(), op->start();  // a finished operation does not run again
    op->waitUntilFinished();
    EXPECT_TRUE(op->isFinished() && !op->isExecuting());
    EXPECT_EQ(op->mainRuns + 10 * completions, cancelled ? 10 : 11);
    EXPECT_EQ(announced, (cancelled ? Announced{{"isCancelled", {1, 1}}, {"isFinished", {1, 1}}}
                                    : Announced{{"isExecuting", {2, 2}}, {"isFinished", {1, 1}}}));
  }
}

TEST(OperationQueueTest, AsynchronousTasksRunTogetherFinishFromOtherThreadsAndAreLetGo) {
  constexpr int kTasks = 40;
  OperationQueue queue;
  Recorded recorded(queue);
  std::vector<std::shared_ptr<AsyncTask>> tasks;
  Counts expected;  // every change reported once and in order: up to 40, then down to 0
  for (int i = 0; i < kTasks; ++i) {
    tasks.push_back(std::make_shared<AsyncTask>());
    ASSERT_TRUE(queue.addOperation(tasks.back()));
    expected.insert(expected.begin() + i, {i + 1, i});
  }
  // All of them execute at once, and stay executing after start() returned.
  ASSERT_TRUE(eventually([&] {
    return std::all_of(tasks.begin(), tasks.end(), [](auto& t) { return t->isExecuting(); });
  }));
  EXPECT_EQ(queue.operations().size(), std::size_t{kTasks});
  std::vector<std::thread> finishers;
  for (auto& t : tasks) finishers.emplace_back([t] { t->complete(); });
  for (auto& f : finishers) f.join();
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_EQ(queue.operationCount(), 0);
  EXPECT_EQ(recorded.get(), expected);
  std::vector<std::weak_ptr<AsyncTask>> weak(tasks.begin(), tasks.end());
  for (auto& t : tasks) EXPECT_EQ(t->startCalls.load(), 1);
  tasks.clear();
  EXPECT_TRUE(eventually(
      [&] { return std::all_of(weak.begin(), weak.end(), [](auto& w) { return w.expired(); }); }));
}

TEST(OperationQueueTest, LearnsOfTheEndOnlyFromTheFinishedFlagAndSkipsWhatFinishedWhileWaiting) {
  OperationQueue queue, second;
  queue.setMaxConcurrentOperationCount(1);
  Recorded recorded(queue);
  auto task = std::make_shared<AsyncTask>(), waiting = std::make_shared<AsyncTask>();
  ASSERT_TRUE(queue.addOperation(task) && queue.addOperation(waiting));
  ASSERT_TRUE(eventually([&] { return task->isExecuting(); }));
  task->setExecuting(false);           // not executing, not finished
  task->didChangeValue("isFinished");  // an announcement without a change
  task->didChangeValue("isReady");     // readiness again: no second start
  waiting->cancel();                   // finishes it before it ever ran
  EXPECT_TRUE(eventually([&] { return queue.operationCount() == 1; }));
  EXPECT_EQ(task->startCalls.load(), 1);
  task->setFinished(true);
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_EQ(waiting->startCalls.load(), 0);
  EXPECT_EQ(recorded.get(), (Counts{1, 2, 1, 0}));

  // Finished, already queued or executing operations are not taken; cancelling all finishes
  // what waits without running it.
  EXPECT_FALSE(queue.addOperation(waiting) || queue.addOperation(nullptr));
  auto plain = std::make_shared<CountingOperation>();
  auto other = std::make_shared<AsyncTask>(), cancelled = std::make_shared<AsyncTask>();
  queue.setSuspended(true);
  ASSERT_TRUE(queue.addOperation(plain) && queue.addOperation(cancelled));
  queue.cancelAllOperations();
  EXPECT_EQ(queue.operationCount(), 1);  // the task finished when cancelled, the other waits
  ASSERT_TRUE(queue.addOperation(other));
  EXPECT_FALSE(queue.addOperation(other) || second.addOperation(other));
  queue.setSuspended(false);
  ASSERT_TRUE(eventually([&] { return other->isExecuting(); }));
  EXPECT_FALSE(second.addOperation(other));
  other->complete();
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_TRUE(plain->isFinished() && plain->mainRuns + cancelled->startCalls == 0);

  // A task outlives its queue, which reports nothing once it is gone.
  auto last = std::make_shared<AsyncTask>();
  std::optional<Recorded> lastCounts;
  {
    OperationQueue third;
    lastCounts.emplace(third);
    third.addOperation(last);
    ASSERT_TRUE(eventually([&] { return last->isExecuting(); }));
  }
  std::thread([last] { last->complete(); }).join();
  EXPECT_EQ(lastCounts->get(), Counts{1});
}

// Blocks in main() until the gate opens, noting whether more than the limit were inside at once
// and whether they came in order.
struct Gate {
  const int limit;
  std::atomic<int> inside{0}, next{0};
  std::atomic<bool> open{false}, over{false}, outOfOrder{false};
};
struct BlockingOperation : Operation {
  BlockingOperation(Gate& gate, int index) : gate(gate), index(index) {}
  void main() override {
    if (index != gate.next++) gate.outOfOrder = true;
    if (++gate.inside > gate.limit) gate.over = true;
    while (!gate.open) std::this_thread::sleep_for(1ms);
    --gate.inside;
  }
  Gate& gate;
  const int index;
};

TEST(OperationQueueTest, BlockingOperationsRunUpToTheLimitAllAtOnceByDefault) {
  // By default far more than the machine's cores run at once; with a limit of 1, in order.
  for (const auto& [limit, ops] : {std::pair{0, 24}, std::pair{1, 10}, std::pair{2, 6}}) {
    SCOPED_TRACE(limit);
    OperationQueue queue;
    if (limit) queue.setMaxConcurrentOperationCount(limit);
    Gate gate{limit ? limit : ops};
    queue.setSuspended(true);  // one scheduling pass then sees them all
    for (int i = 0; i < ops; ++i) queue.addOperation(std::make_shared<BlockingOperation>(gate, i));
    queue.setSuspended(false);
    EXPECT_TRUE(eventually([&] { return gate.inside == gate.limit; }));
    // Nothing else tells that no more will start: give a stray start a moment to show.
    std::this_thread::sleep_for(20ms);
    gate.open = true;
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_FALSE(gate.over);
    EXPECT_TRUE(limit != 1 || !gate.outOfOrder);
  }
}

}  // namespace
}  // namespace lumo
