#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "lumo/platform/Operation.h"
#include "lumo/platform/OperationQueue.h"

namespace lumo {
namespace {

using namespace std::chrono_literals;

template <typename Predicate>
bool eventually(Predicate done) {  // polls `done` for up to 30 s
  for (auto deadline = std::chrono::steady_clock::now() + 30s; !done();) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// An asynchronous operation that owns its two flags, as the transfer tasks do: a write of
// executing is always announced, a write of finished only when it changes the value. Its
// work is done when the test calls `complete()`; cancelling it before it runs finishes it.
class AsyncTask : public Operation {
 public:
  bool isAsynchronous() const override { return true; }
  bool isExecuting() const override { return executing_; }
  bool isFinished() const override { return finished_; }
  void setExecuting(bool value) override {
    willChangeValue("isExecuting");
    executing_ = value;
    didChangeValue("isExecuting");
  }
  void setFinished(bool value) override {
    if (finished_ == value) return;
    willChangeValue("isFinished");
    finished_ = value;
    didChangeValue("isFinished");
  }
  void start() override {
    ++startCalls;
    if (!isExecuting() && !isFinished()) setExecuting(true);
  }
  void cancel() override {
    Operation::cancel();
    complete();
  }
  void complete() {
    setExecuting(false);
    setFinished(true);
  }
  std::atomic<int> startCalls{0};

 private:
  std::atomic<bool> executing_{false}, finished_{false};
};

// Counts the will-change and did-change announcements per key of one operation.
struct ChangeCounter {
  explicit ChangeCounter(Operation& op) {
    for (const char* key : {"isExecuting", "isFinished", "isCancelled"}) {
      op.addObserver(key, [this](Operation&, const KeyValueChange& change) {
        std::lock_guard lock(mu);
        ++(change.isPrior ? counts[change.keyPath].first : counts[change.keyPath].second);
      });
    }
  }
  std::mutex mu;
  std::map<std::string, std::pair<int, int>> counts;  // guarded by mu
};

// Every operation count a queue reports, and the operation in main() when it has one.
struct Recorded {
  explicit Recorded(OperationQueue& queue) {
    queue.addObserver("operationCount", [this](const KeyValueChange& change) {
      std::lock_guard lock(mu);
      if (!change.isPrior) counts.push_back(change.newValue.value_or(-1));
    });
  }
  std::vector<std::int64_t> get() {
    std::lock_guard lock(mu);
    return counts;
  }
  std::mutex mu;
  std::vector<std::int64_t> counts;  // guarded by mu
};

struct CountingOperation : Operation {
  void main() override { ++mainRuns; }
  std::atomic<int> mainRuns{0};
};

TEST(OperationTest, AnnouncesEachStateChangeOnceAndACancelledOneNeverRuns) {
  for (bool cancelled : {false, true}) {
    auto op = std::make_shared<CountingOperation>();
    ChangeCounter counter(*op);
    std::atomic<int> completions{0};
    op->setCompletionBlock([&] { ++completions; });
    if (cancelled) op->cancel(), op->cancel();
    op->start();
    op->start();  // a finished operation does not run again
    op->waitUntilFinished();
    EXPECT_TRUE(op->isFinished() && !op->isExecuting());
    EXPECT_EQ(op->mainRuns.load(), cancelled ? 0 : 1);
    using Counts = std::map<std::string, std::pair<int, int>>;
    EXPECT_EQ(counter.counts,
              (cancelled ? Counts{{"isCancelled", {1, 1}}, {"isFinished", {1, 1}}}
                         : Counts{{"isExecuting", {2, 2}}, {"isFinished", {1, 1}}}));
    EXPECT_EQ(completions.load(), 1);
  }
}

TEST(OperationQueueTest, AsynchronousTasksRunTogetherFinishFromOtherThreadsAndAreLetGo) {
  constexpr int kTasks = 40;
  OperationQueue queue;
  Recorded recorded(queue);
  std::vector<std::shared_ptr<AsyncTask>> tasks;
  for (int i = 0; i < kTasks; ++i) {
    tasks.push_back(std::make_shared<AsyncTask>());
    ASSERT_TRUE(queue.addOperation(tasks.back()));
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
  for (auto& t : tasks) EXPECT_EQ(t->startCalls.load(), 1);
  // Every change reported once and in order: up to 40, then down to 0.
  std::vector<std::int64_t> expected;
  for (int i = 1; i <= kTasks; ++i) expected.push_back(i);
  for (int i = kTasks - 1; i >= 0; --i) expected.push_back(i);
  EXPECT_EQ(recorded.get(), expected);
  std::vector<std::weak_ptr<AsyncTask>> weak(tasks.begin(), tasks.end());
  tasks.clear();
  EXPECT_TRUE(eventually(
      [&] { return std::all_of(weak.begin(), weak.end(), [](auto& w) { return w.expired(); }); }));
}

TEST(OperationQueueTest, LearnsOfTheEndOnlyFromTheFinishedFlagAndSkipsWhatFinishedWhileWaiting) {
  OperationQueue queue;
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
  EXPECT_EQ(recorded.get(), (std::vector<std::int64_t>{1, 2, 1, 0}));

  // Finished, already queued or executing operations are not taken.
  EXPECT_FALSE(queue.addOperation(waiting) || queue.addOperation(nullptr));
  auto other = std::make_shared<AsyncTask>();
  OperationQueue second;
  queue.setSuspended(true);
  ASSERT_TRUE(queue.addOperation(other));
  EXPECT_FALSE(queue.addOperation(other) || second.addOperation(other));
  queue.setSuspended(false);
  ASSERT_TRUE(eventually([&] { return other->isExecuting(); }));
  EXPECT_FALSE(second.addOperation(other));
  other->complete();
}

TEST(OperationQueueTest, CancelAllSkipsWaitingWork) {
  OperationQueue queue;
  queue.setSuspended(true);
  auto plain = std::make_shared<CountingOperation>();
  auto task = std::make_shared<AsyncTask>();
  ASSERT_TRUE(queue.addOperation(plain) && queue.addOperation(task));
  queue.cancelAllOperations();
  EXPECT_EQ(queue.operationCount(), 1);  // the task finished when cancelled, the other waits
  queue.setSuspended(false);
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_TRUE(plain->isFinished());
  EXPECT_EQ(plain->mainRuns + task->startCalls, 0);
}

// Operations that block in main() until the gate opens, noting their order and how many are
// inside at once.
struct Gate {
  std::atomic<int> inside{0}, peak{0}, next{0};
  std::atomic<bool> open{false}, inOrder{true};
};
struct BlockingOperation : Operation {
  BlockingOperation(Gate& gate, int index) : gate(gate), index(index) {}
  void main() override {
    if (index != gate.next++) gate.inOrder = false;
    const int now = ++gate.inside;
    for (int seen = gate.peak; now > seen && !gate.peak.compare_exchange_weak(seen, now);) {
    }
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
    const int together = limit ? limit : ops;
    Gate gate;
    queue.setSuspended(true);  // one scheduling pass then sees them all
    for (int i = 0; i < ops; ++i) queue.addOperation(std::make_shared<BlockingOperation>(gate, i));
    queue.setSuspended(false);
    EXPECT_TRUE(eventually([&] { return gate.inside.load() == together; }));
    // Later operations could only be started by the thread that already ran: give it a chance.
    std::this_thread::sleep_for(20ms);
    gate.open = true;
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_EQ(gate.peak.load(), together);
    EXPECT_TRUE(limit != 1 || gate.inOrder);
  }
}

TEST(OperationQueueTest, CountObserversMayCallBackIntoTheQueueAndTasksOutliveIt) {
  auto task = std::make_shared<AsyncTask>();
  std::vector<std::int64_t> readBack;  // written by the observer, read after the queue is gone
  std::mutex mu;
  {
    OperationQueue queue;
    queue.addObserver("operationCount", [&](const KeyValueChange& change) {
      if (change.isPrior) return;
      const auto count = queue.operationCount();
      std::lock_guard lock(mu);
      readBack.push_back(count);
    });
    queue.addObserver("operations", [](const KeyValueChange&) { FAIL(); });
    queue.addOperation(task);
    ASSERT_TRUE(eventually([&] { return task->isExecuting(); }));
  }
  std::thread([task] { task->complete(); }).join();
  EXPECT_TRUE(task->isFinished());
  std::lock_guard lock(mu);
  EXPECT_EQ(readBack, (std::vector<std::int64_t>{1}));  // nothing reported once it is gone
}

}  // namespace
}  // namespace lumo
