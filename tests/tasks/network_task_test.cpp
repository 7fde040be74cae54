// What NetworkTask adds to Operation; the queue's side is the platform suite's.

#include <gtest/gtest.h>

#include "Recorders.h"
#include "TestFiles.h"
#include "lumo/registry/Resolver.h"
#include "lumo/tasks/NetworkTask.h"

namespace lumo {
namespace {

TEST(NetworkTaskTest, HasItsOwnIdStartsOnceAndAnnouncesWhatTheQueueWatches) {
  test::installAccountServices();
  auto log = std::make_shared<test::RecordingLog>();
  Resolver::registerInMain<LogService>([log] { return log; });
  auto task = std::make_shared<NetworkTask>();
  EXPECT_TRUE(task->isAsynchronous());
  EXPECT_TRUE(testing_files::matchesShape(task->id(), "HHHHHHHH-HHHH-HHHH-HHHH-HHHHHHHHHHHH"));
  EXPECT_NE(task->id(), NetworkTask().id());

  std::string seen;  // each announcement with the value it saw
  for (const char* key : {"isExecuting", "isFinished"})
    task->addObserver(key, [&](Operation& op, const KeyValueChange& change) {
      const bool value = change.keyPath == "isFinished" ? op.isFinished() : op.isExecuting();
      seen += (change.isPrior ? "will " : "did ") + change.keyPath + (value ? "=1 " : "=0 ");
    });
  task->start();
  task->start();              // executing already: only said
  task->setExecuting(false);  // every write is announced
  task->setExecuting(false);
  task->setFinished(false);  // only a change is
  task->setFinished(true);
  task->setFinished(true);
  task->start();  // finished already: only said
  EXPECT_EQ(seen,
            "will isExecuting=0 did isExecuting=1 will isExecuting=1 did isExecuting=0 "
            "will isExecuting=0 did isExecuting=0 will isFinished=0 did isFinished=1 ");
  EXPECT_EQ(log->lines(),
            (std::vector<std::string>{"Can't start the task that is already being executing.",
                                      "Can't start the task that has already finished."}));
}

}  // namespace
}  // namespace lumo
