// What NetworkTask adds to Operation; the queue's side is the platform suite's.

#include <map>

#include "lumo/registry/Resolver.h"
#include "task_test_support.h"

namespace lumo::tasktest {
namespace {

TEST(NetworkTaskTest, HasItsOwnIdStartsOnceAndAnnouncesWhatTheQueueWatches) {
  Resolver::registerInMain<EnvironmentHelperService>(
      [] { return std::make_shared<test::TestEnvironment>(); });
  auto log = std::make_shared<test::RecordingLog>();
  Resolver::registerInMain<LogService>([log] { return log; });
  auto task = std::make_shared<NetworkTask>();
  EXPECT_TRUE(task->isAsynchronous());
  EXPECT_TRUE(isUpperCaseUUID(task->id())) << task->id();
  EXPECT_NE(task->id(), NetworkTask().id());

  std::map<std::pair<std::string, bool>, int> seen;  // (key, prior) -> count
  std::vector<bool> finished;                        // the flag as each announcement saw it
  for (const char* key : {"isExecuting", "isFinished"}) {
    task->addObserver(key, [&](Operation& op, const KeyValueChange& change) {
      ++seen[{change.keyPath, change.isPrior}];
      if (change.keyPath == "isFinished") finished.push_back(op.isFinished());
    });
  }
  task->start();
  task->start();
  EXPECT_EQ(log->linesStartingWith("Can't start the task that is already being executing.").size(),
            1u);
  task->setExecuting(false);  // every write is announced
  task->setExecuting(false);
  task->setFinished(false);  // only a change is
  task->setFinished(true);
  task->setFinished(true);
  task->start();
  EXPECT_EQ(log->linesStartingWith("Can't start the task that has already finished.").size(), 1u);
  EXPECT_FALSE(task->isExecuting());
  EXPECT_EQ(seen, (std::map<std::pair<std::string, bool>, int>{{{"isExecuting", true}, 3},
                                                               {{"isExecuting", false}, 3},
                                                               {{"isFinished", true}, 1},
                                                               {{"isFinished", false}, 1}}));
  EXPECT_EQ(finished, (std::vector<bool>{false, true}));
}

}  // namespace
}  // namespace lumo::tasktest
