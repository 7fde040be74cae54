#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <numeric>
#include <thread>
#include <vector>

#include "lumo/platform/Operation.h"
#include "lumo/platform/OperationQueue.h"

namespace lumo {
namespace {

using namespace std::chrono_literals;

// Polls `done` until it holds or a generous deadline passes.
template <typename Predicate>
bool eventually(Predicate done) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// An asynchronous operation that owns its two flags, as the transfer tasks do: a write of
// executing is always announced, a write of finished only when it changes the value. Its
// work is "done" when the test calls `complete()`, from any thread.
class AsyncTask : public Operation {
 public:
  bool isAsynchronous() const override { return true; }
  bool isExecuting() const override { return executing_.load(); }
  bool isFinished() const override { return finished_.load(); }

  void setExecuting(bool value) override {
    willChangeValue("isExecuting");
    executing_.store(value);
    didChangeValue("isExecuting");
  }
  void setFinished(bool value) override {
    if (finished_.load() == value) return;
    willChangeValue("isFinished");
    finished_.store(value);
    didChangeValue("isFinished");
  }

  void start() override {
    ++startCalls;
    if (isExecuting() || isFinished()) return;
    setExecuting(true);
  }
  // Cancelling a task that has not run finishes it at once, as the upload tasks do.
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
  std::atomic<bool> executing_{false};
  std::atomic<bool> finished_{false};
};

// Counts the will-change and did-change calls per key of one operation.
class ChangeCounter {
 public:
  explicit ChangeCounter(Operation& op) {
    for (const char* key : {"isExecuting", "isFinished", "isCancelled"}) {
      op.addObserver(key, [this](Operation&, const KeyValueChange& change) {
        std::lock_guard lock(mu_);
        auto& [will, did] = counts_[change.keyPath];
        ++(change.isPrior ? will : did);
      });
    }
  }
  std::pair<int, int> counts(const std::string& key) {
    std::lock_guard lock(mu_);
    return counts_[key];
  }

 private:
  std::mutex mu_;
  std::map<std::string, std::pair<int, int>> counts_;  // guarded by mu_
};

// Records every reported operation count of a queue.
class CountRecorder {
 public:
  explicit CountRecorder(OperationQueue& queue) {
    queue.addObserver("operationCount", [this](const KeyValueChange& change) {
      std::lock_guard lock(mu_);
      if (change.isPrior) {
        ++priors_;
      } else {
        counts_.push_back(change.newValue.value_or(-1));
      }
    });
  }
  std::vector<std::int64_t> counts() const {
    std::lock_guard lock(mu_);
    return counts_;
  }
  int priors() const {
    std::lock_guard lock(mu_);
    return priors_;
  }

 private:
  mutable std::mutex mu_;
  std::vector<std::int64_t> counts_;  // guarded by mu_
  int priors_ = 0;                    // guarded by mu_
};

class CountingOperation : public Operation {
 public:
  void main() override { ++mainRuns; }
  std::atomic<int> mainRuns{0};
};

TEST(OperationTest, AnnouncesEachStateChangeOnceAndACancelledOneNeverRuns) {
  auto op = std::make_shared<CountingOperation>();
  ChangeCounter counter(*op);
  std::atomic<int> completions{0};
  op->setCompletionBlock([&] { ++completions; });
  op->start();
  op->start();  // a finished operation does not run again
  op->waitUntilFinished();
  EXPECT_EQ(op->mainRuns.load(), 1);
  EXPECT_FALSE(op->isExecuting());
  EXPECT_TRUE(op->isFinished());
  EXPECT_EQ(counter.counts("isExecuting"), std::make_pair(2, 2));  // true, then false
  EXPECT_EQ(counter.counts("isFinished"), std::make_pair(1, 1));
  EXPECT_EQ(completions.load(), 1);

  auto cancelled = std::make_shared<CountingOperation>();
  ChangeCounter cancelledCounter(*cancelled);
  cancelled->cancel();
  cancelled->cancel();
  cancelled->start();
  EXPECT_TRUE(cancelled->isCancelled());
  EXPECT_TRUE(cancelled->isFinished());
  EXPECT_EQ(cancelled->mainRuns.load(), 0);
  EXPECT_EQ(cancelledCounter.counts("isCancelled"), std::make_pair(1, 1));
  EXPECT_EQ(cancelledCounter.counts("isExecuting"), std::make_pair(0, 0));
  EXPECT_EQ(cancelledCounter.counts("isFinished"), std::make_pair(1, 1));
}

TEST(OperationQueueTest, AsynchronousTasksRunTogetherAndFinishFromOtherThreads) {
  constexpr int kTasks = 40;
  OperationQueue queue;
  CountRecorder recorder(queue);
  std::vector<std::shared_ptr<AsyncTask>> tasks;
  std::vector<std::unique_ptr<ChangeCounter>> counters;
  for (int i = 0; i < kTasks; ++i) {
    tasks.push_back(std::make_shared<AsyncTask>());
    counters.push_back(std::make_unique<ChangeCounter>(*tasks.back()));
    ASSERT_TRUE(queue.addOperation(tasks.back()));
  }
  // All of them execute at once, and stay executing after start() returned.
  ASSERT_TRUE(eventually([&] {
    return std::all_of(tasks.begin(), tasks.end(), [](auto& t) { return t->isExecuting(); });
  }));
  EXPECT_EQ(queue.operationCount(), kTasks);
  EXPECT_EQ(queue.operations().size(), static_cast<std::size_t>(kTasks));

  std::vector<std::thread> finishers;
  for (auto& t : tasks) finishers.emplace_back([t] { t->complete(); });
  for (auto& f : finishers) f.join();
  queue.waitUntilAllOperationsAreFinished();

  EXPECT_EQ(queue.operationCount(), 0);
  for (int i = 0; i < kTasks; ++i) {
    EXPECT_EQ(tasks[i]->startCalls.load(), 1);
    EXPECT_EQ(counters[i]->counts("isExecuting"), std::make_pair(2, 2));
    EXPECT_EQ(counters[i]->counts("isFinished"), std::make_pair(1, 1));
  }
  // Every change reported once and in order: up to 40, then down to 0.
  std::vector<std::int64_t> expected(2 * kTasks);
  for (int i = 0; i < 2 * kTasks; ++i) expected[i] = i < kTasks ? i + 1 : 2 * kTasks - 1 - i;
  EXPECT_EQ(recorder.counts(), expected);
  EXPECT_EQ(recorder.priors(), 2 * kTasks);

  // The queue lets go of finished operations.
  std::vector<std::weak_ptr<AsyncTask>> weak(tasks.begin(), tasks.end());
  counters.clear();
  tasks.clear();
  EXPECT_TRUE(eventually(
      [&] { return std::all_of(weak.begin(), weak.end(), [](auto& w) { return w.expired(); }); }));
}

TEST(OperationQueueTest, LearnsOfTheEndOnlyFromTheFinishedFlag) {
  OperationQueue queue;
  CountRecorder recorder(queue);
  auto task = std::make_shared<AsyncTask>();
  ASSERT_TRUE(queue.addOperation(task));
  ASSERT_TRUE(eventually([&] { return task->isExecuting(); }));

  task->setExecuting(false);           // not executing, not finished
  task->didChangeValue("isFinished");  // an announcement without a change
  task->didChangeValue("isReady");     // readiness again: no second start
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(queue.operationCount(), 1);
  EXPECT_EQ(task->startCalls.load(), 1);

  task->setFinished(true);
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_EQ(queue.operationCount(), 0);
  EXPECT_EQ(recorder.counts(), (std::vector<std::int64_t>{1, 0}));
}

TEST(OperationQueueTest, NeverStartsATaskThatFinishedWhileWaiting) {
  OperationQueue queue;
  queue.setMaxConcurrentOperationCount(1);
  CountRecorder recorder(queue);
  auto running = std::make_shared<AsyncTask>();
  auto waiting = std::make_shared<AsyncTask>();
  ASSERT_TRUE(queue.addOperation(running));
  ASSERT_TRUE(queue.addOperation(waiting));
  ASSERT_TRUE(eventually([&] { return running->isExecuting(); }));

  waiting->cancel();  // finishes it before it ever ran
  EXPECT_TRUE(eventually([&] { return queue.operationCount() == 1; }));
  running->complete();
  queue.waitUntilAllOperationsAreFinished();

  EXPECT_EQ(waiting->startCalls.load(), 0);
  EXPECT_EQ(recorder.counts(), (std::vector<std::int64_t>{1, 2, 1, 0}));

  // Finished, already queued or executing operations are not taken.
  EXPECT_FALSE(queue.addOperation(waiting));
  EXPECT_FALSE(queue.addOperation(nullptr));
  auto other = std::make_shared<AsyncTask>();
  queue.setSuspended(true);
  ASSERT_TRUE(queue.addOperation(other));
  EXPECT_FALSE(queue.addOperation(other));
  OperationQueue second;
  EXPECT_FALSE(second.addOperation(other));
  queue.setSuspended(false);
  ASSERT_TRUE(eventually([&] { return other->isExecuting(); }));
  EXPECT_FALSE(second.addOperation(other));
  other->complete();
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_EQ(other->startCalls.load(), 1);
}

TEST(OperationQueueTest, CancelAllSkipsWaitingWork) {
  OperationQueue queue;
  queue.setSuspended(true);
  std::vector<std::shared_ptr<CountingOperation>> plain;
  std::vector<std::shared_ptr<AsyncTask>> tasks;
  for (int i = 0; i < 5; ++i) {
    plain.push_back(std::make_shared<CountingOperation>());
    tasks.push_back(std::make_shared<AsyncTask>());
    ASSERT_TRUE(queue.addOperation(plain.back()));
    ASSERT_TRUE(queue.addOperation(tasks.back()));
  }
  queue.cancelAllOperations();
  // The tasks finished when cancelled; the plain operations finish when started.
  EXPECT_EQ(queue.operationCount(), 5);
  queue.setSuspended(false);
  queue.waitUntilAllOperationsAreFinished();
  for (auto& op : plain) {
    EXPECT_TRUE(op->isFinished());
    EXPECT_EQ(op->mainRuns.load(), 0);
  }
  for (auto& t : tasks) EXPECT_EQ(t->startCalls.load(), 0);
}

// Operations that block in main() until the gate opens, noting their order and how many are
// inside at once.
struct Gate {
  std::atomic<int> inside{0}, peak{0};
  std::atomic<bool> open{false};
  std::mutex mu;
  std::vector<int> order;  // guarded by mu
};

class BlockingOperation : public Operation {
 public:
  BlockingOperation(Gate& gate, int index) : gate_(gate), index_(index) {}
  void main() override {
    {
      std::lock_guard lock(gate_.mu);
      gate_.order.push_back(index_);
    }
    const int now = ++gate_.inside;
    for (int seen = gate_.peak; now > seen && !gate_.peak.compare_exchange_weak(seen, now);) {
    }
    while (!gate_.open) std::this_thread::sleep_for(1ms);
    --gate_.inside;
  }

 private:
  Gate& gate_;
  const int index_;
};

TEST(OperationQueueTest, BlockingOperationsRunUpToTheLimitAllAtOnceByDefault) {
  // By default far more than the machine's cores run at once.
  for (const auto& [limit, ops] : {std::pair{0, 24}, std::pair{1, 10}, std::pair{2, 6}}) {
    OperationQueue queue;
    if (limit) {
      queue.setMaxConcurrentOperationCount(limit);
    } else {
      EXPECT_EQ(queue.maxConcurrentOperationCount(),
                OperationQueue::kDefaultMaxConcurrentOperationCount);
    }
    const int together = limit ? limit : ops;
    Gate gate;
    for (int i = 0; i < ops; ++i) queue.addOperation(std::make_shared<BlockingOperation>(gate, i));
    EXPECT_TRUE(eventually([&] { return gate.inside.load() == together; })) << limit;
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(queue.operationCount(), ops);
    gate.open = true;
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_EQ(gate.peak.load(), together) << limit;
    if (limit == 1) {
      std::vector<int> inOrder(ops);
      std::iota(inOrder.begin(), inOrder.end(), 0);
      EXPECT_EQ(gate.order, inOrder);
    }
  }
}

TEST(OperationQueueTest, CountObserversMayCallBackIntoTheQueue) {
  OperationQueue queue;
  std::vector<std::int64_t> readBack;
  std::mutex mu;
  const auto token = queue.addObserver("operationCount", [&](const KeyValueChange& change) {
    if (change.isPrior) return;
    const auto count = queue.operationCount();
    std::lock_guard lock(mu);
    readBack.push_back(count);
  });
  const auto ignored = queue.addObserver("operations", [](const KeyValueChange&) { FAIL(); });
  auto first = std::make_shared<AsyncTask>();
  queue.addOperation(first);
  first->complete();
  queue.waitUntilAllOperationsAreFinished();
  queue.removeObserver(token);
  queue.removeObserver(ignored);
  auto second = std::make_shared<AsyncTask>();
  queue.addOperation(second);
  second->complete();
  queue.waitUntilAllOperationsAreFinished();
  std::lock_guard lock(mu);
  EXPECT_EQ(readBack, (std::vector<std::int64_t>{1, 0}));
}

TEST(OperationQueueTest, TasksOutliveTheirQueue) {
  auto task = std::make_shared<AsyncTask>();
  std::atomic<int> reports{0};
  {
    OperationQueue queue;
    queue.addObserver("operationCount", [&](const KeyValueChange&) { ++reports; });
    queue.addOperation(task);
    ASSERT_TRUE(eventually([&] { return task->isExecuting(); }));
  }
  const int before = reports.load();
  std::thread([task] { task->complete(); }).join();
  EXPECT_TRUE(task->isFinished());
  EXPECT_EQ(reports.load(), before);
}

}  // namespace
}  // namespace lumo
