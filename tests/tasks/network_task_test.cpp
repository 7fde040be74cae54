#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "lumo/platform/OperationQueue.h"
#include "lumo/registry/Resolver.h"
#include "lumo/sharing/EnvironmentHelperService.h"
#include "lumo/support/DispatchQueue.h"
#include "lumo/support/Log.h"
#include "lumo/tasks/NetworkTask.h"
#include "task_test_support.h"

namespace lumo {
namespace {

using namespace std::chrono_literals;

class DebugBuild : public EnvironmentHelperService {
 public:
  bool isDebug() const override { return true; }
};

class NetworkTaskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Resolver::reset();
    Resolver::registerInMain<EnvironmentHelperService>(
        [] { return std::make_shared<DebugBuild>(); });
    Resolver::registerInMain<LogService>([] { return std::make_shared<Log>(); });
  }
};

// Counts the change announcements of one operation, per key and phase, and checks that the
// flag can be read from inside an announcement. The counts live as long as the observers, so
// an announcement that comes after the counter is gone does no harm.
class ChangeCounter {
 public:
  explicit ChangeCounter(Operation& operation) : state_(std::make_shared<State>()) {
    for (const char* key : {"isExecuting", "isFinished"}) {
      operation.addObserver(key, [state = state_](Operation& op, const KeyValueChange& change) {
        const bool value = change.keyPath == "isExecuting" ? op.isExecuting() : op.isFinished();
        std::lock_guard lock(state->mu);
        ++state->counts[{change.keyPath, change.isPrior}];
        if (!change.isPrior) state->lastValue[change.keyPath] = value;
      });
    }
  }
  int will(const std::string& key) const { return count(key, true); }
  int did(const std::string& key) const { return count(key, false); }
  bool lastDidValue(const std::string& key) const {
    std::lock_guard lock(state_->mu);
    return state_->lastValue.at(key);
  }

 private:
  struct State {
    std::mutex mu;
    std::map<std::pair<std::string, bool>, int> counts;  // guarded by mu
    std::map<std::string, bool> lastValue;               // guarded by mu
  };
  int count(const std::string& key, bool prior) const {
    std::lock_guard lock(state_->mu);
    auto it = state_->counts.find({key, prior});
    return it == state_->counts.end() ? 0 : it->second;
  }
  std::shared_ptr<State> state_;
};

TEST_F(NetworkTaskTest, ANewTaskIsReadyAsynchronousAndHasItsOwnUpperCaseUUID) {
  auto task = std::make_shared<NetworkTask>();
  EXPECT_FALSE(task->isExecuting());
  EXPECT_FALSE(task->isFinished());
  EXPECT_TRUE(task->isAsynchronous());
  EXPECT_TRUE(tasktest::isUpperCaseUUID(task->id())) << task->id();
  std::set<std::string> ids;
  for (int i = 0; i < 1000; ++i) ids.insert(NetworkTask().id());
  EXPECT_EQ(ids.size(), 1000u);
}

// One start makes the task executing with one announcement; starting it again, executing or
// finished, changes nothing and only says so in a debug line.
TEST_F(NetworkTaskTest, StartRunsAReadyTaskOnceAndAnnouncesItOnce) {
  auto task = std::make_shared<NetworkTask>();
  ChangeCounter changes(*task);
  task->start();
  EXPECT_TRUE(task->isExecuting());
  EXPECT_EQ(changes.will("isExecuting"), 1);
  EXPECT_EQ(changes.did("isExecuting"), 1);
  EXPECT_TRUE(changes.lastDidValue("isExecuting"));
  EXPECT_EQ(changes.will("isFinished"), 0);

  testing::internal::CaptureStdout();
  task->start();
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Can't start the task that is already being executing.\n");
  EXPECT_TRUE(task->isExecuting());
  EXPECT_FALSE(task->isFinished());

  task->setExecuting(false);
  task->setFinished(true);
  testing::internal::CaptureStdout();
  task->start();
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Can't start the task that has already finished.\n");
  EXPECT_FALSE(task->isExecuting());
  EXPECT_TRUE(task->isFinished());
  EXPECT_EQ(changes.did("isExecuting"), 2);  // the start and the write above
}

// What the queue relies on: executing announced on every write, finished only on a change,
// the will-change seeing the old value and the did-change the new.
TEST_F(NetworkTaskTest, ExecutingIsAnnouncedOnEveryWriteFinishedOnlyOnChange) {
  auto task = std::make_shared<NetworkTask>();
  ChangeCounter changes(*task);
  std::vector<std::pair<bool, bool>> seen;  // (isPrior, isFinished) per announcement
  task->addObserver("isFinished", [&](Operation& op, const KeyValueChange& change) {
    seen.emplace_back(change.isPrior, op.isFinished());
  });
  task->setExecuting(false);
  task->setExecuting(false);
  EXPECT_EQ(changes.will("isExecuting"), 2);
  EXPECT_EQ(changes.did("isExecuting"), 2);

  task->setFinished(false);  // no change
  task->setFinished(true);
  task->setFinished(true);
  EXPECT_EQ(changes.will("isFinished"), 1);
  EXPECT_EQ(changes.did("isFinished"), 1);
  EXPECT_EQ(seen, (std::vector<std::pair<bool, bool>>{{true, false}, {false, true}}));
}

// A transfer as the subclasses make them: it finishes from another thread some time after
// `start()` returned, or at once when cancelled.
class DelayedTask : public NetworkTask {
 public:
  explicit DelayedTask(std::chrono::milliseconds delay) : delay_(delay) {}

  void start() override {
    NetworkTask::start();
    if (!isExecuting()) return;
    std::weak_ptr<Operation> weak = weak_from_this();
    DispatchQueue::global().asyncAfter(delay_, [weak] {
      if (auto self = std::static_pointer_cast<DelayedTask>(weak.lock())) self->end();
    });
  }
  void cancel() override {
    NetworkTask::cancel();
    end();
  }

 private:
  void end() {
    setExecuting(false);
    setFinished(true);
  }
  std::chrono::milliseconds delay_;
};

TEST_F(NetworkTaskTest, AQueueRunsTasksToTheirEndThroughTheAnnouncements) {
  OperationQueue queue;
  std::vector<std::shared_ptr<DelayedTask>> tasks;
  std::vector<std::unique_ptr<ChangeCounter>> counters;
  for (int i = 0; i < 8; ++i) {
    tasks.push_back(std::make_shared<DelayedTask>(std::chrono::milliseconds(5 * i)));
    counters.push_back(std::make_unique<ChangeCounter>(*tasks.back()));
  }
  for (auto& task : tasks) ASSERT_TRUE(queue.addOperation(task));
  queue.waitUntilAllOperationsAreFinished();

  EXPECT_EQ(queue.operationCount(), 0);
  for (std::size_t i = 0; i < tasks.size(); ++i) {
    EXPECT_FALSE(tasks[i]->isExecuting());
    EXPECT_TRUE(tasks[i]->isFinished());
    EXPECT_EQ(counters[i]->will("isExecuting"), 2);  // true at start, false at the end
    EXPECT_EQ(counters[i]->did("isExecuting"), 2);
    EXPECT_EQ(counters[i]->will("isFinished"), 1);
    EXPECT_EQ(counters[i]->did("isFinished"), 1);
  }
}

TEST_F(NetworkTaskTest, CancelsRacingTheQueuesStartFinishEveryTaskOnce) {
  for (int round = 0; round < 20; ++round) {
    OperationQueue queue;
    std::vector<std::shared_ptr<DelayedTask>> tasks;
    std::vector<std::unique_ptr<ChangeCounter>> counters;
    for (int i = 0; i < 16; ++i) {
      tasks.push_back(std::make_shared<DelayedTask>(std::chrono::milliseconds(i % 3)));
      counters.push_back(std::make_unique<ChangeCounter>(*tasks.back()));
    }
    // The queue starts tasks on its threads while two threads cancel them, and the tasks'
    // own ends race both.
    std::atomic<bool> go{false};
    auto canceller = [&](std::size_t first) {
      while (!go.load()) std::this_thread::yield();
      for (std::size_t i = first; i < tasks.size(); i += 2) tasks[i]->cancel();
    };
    std::thread a(canceller, 0), b(canceller, 1);
    for (auto& task : tasks) ASSERT_TRUE(queue.addOperation(task));
    go = true;
    a.join();
    b.join();
    queue.waitUntilAllOperationsAreFinished();

    for (std::size_t i = 0; i < tasks.size(); ++i) {
      // A cancel that lands between the start's check and its write leaves the task executing
      // until its own end comes, after the queue has let it go.
      const auto deadline = std::chrono::steady_clock::now() + 5s;
      while (tasks[i]->isExecuting() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
      }
      EXPECT_FALSE(tasks[i]->isExecuting()) << "task " << i << " round " << round;
      EXPECT_TRUE(tasks[i]->isFinished());
      EXPECT_EQ(counters[i]->will("isFinished"), 1) << "task " << i << " round " << round;
      EXPECT_EQ(counters[i]->did("isFinished"), 1) << "task " << i << " round " << round;
    }
  }
}

}  // namespace
}  // namespace lumo
