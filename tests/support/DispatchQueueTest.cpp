#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

#include "StopMessage.h"
#include "lumo/support/DispatchQueue.h"
#include "lumo/support/EasyTimer.h"
#include "lumo/support/TimerFormatter.h"

namespace lumo {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(DispatchQueueTest, SerialQueueRunsItemsInOrderExclusivelyAndSyncWaitsForEarlierOnes) {
  DispatchQueue queue("serial");
  std::vector<int> order;  // touched only by the queue's items
  std::atomic<int> running{0}, overlaps{0};
  queue.async([] { std::this_thread::sleep_for(20ms); });  // a slow first item
  for (int i = 0; i < 500; ++i) {
    queue.async([&, i] {
      overlaps += running++ != 0;
      order.push_back(i);
      --running;
    });
  }
  queue.sync([&, caller = std::this_thread::get_id()] {
    EXPECT_TRUE(std::this_thread::get_id() == caller && queue.isCurrent());
    queue.async([&] { order.push_back(-1); });  // follows the sync
    order.push_back(500);
  });
  EXPECT_FALSE(queue.isCurrent());
  queue.sync([] {});
  ASSERT_EQ(order.size(), 502u);
  for (int i = 0; i <= 500; ++i) EXPECT_EQ(order[i], i);
  EXPECT_EQ(order.back(), -1);
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_STOPS_WITH(queue.sync([&] { queue.sync([] {}); }),
                    "DispatchQueue(serial).sync called from its own queue: deadlock");
}

TEST(DispatchQueueTest, AsyncAfterRunsWhenDueInDueOrder) {
  DispatchQueue queue("later");
  std::promise<void> done;
  std::vector<int> fired;  // touched only by the queue's items
  const auto first = Clock::now();
  queue.asyncAfter(200ms, [&] {
    fired.push_back(200);
    done.set_value();
  });
  const auto second = Clock::now();
  queue.asyncAfter(10ms, [&] { fired.push_back(10); });
  ASSERT_EQ(done.get_future().wait_for(30s), std::future_status::ready);
  queue.sync([] {});
  // Unless this thread was held up past the first due time between the two submissions.
  EXPECT_TRUE(second - first >= 150ms || fired == std::vector({10, 200}));
}

TEST(DispatchQueueTest, GlobalPoolGrowsAndGroupsWaitAndNotify) {
  constexpr int kWaiters = 24;  // items that wait for a later item: the pool must grow
  std::promise<void> release;
  const auto released = release.get_future().share();
  std::atomic<int> finished{0};
  std::promise<int> notified;
  {
    DispatchGroup group;  // gone before its items run: they keep its state alive
    for (int i = 0; i < kWaiters; ++i) {
      DispatchQueue::global().async(group, [&] {
        released.wait();
        ++finished;
      });
    }
    group.notify(DispatchQueue("notify"), [&] { notified.set_value(finished.load()); });
    EXPECT_FALSE(group.waitFor(20ms));
    DispatchQueue::global().async([&] { release.set_value(); });
    ASSERT_TRUE(group.waitFor(30s));
  }
  EXPECT_EQ(notified.get_future().get(), kWaiters);
  DispatchGroup empty;
  EXPECT_STOPS_WITH(empty.leave(), "DispatchGroup::leave() without a matching enter()");
}

TEST(DispatchQueueTest, MainQueueRunsOnTheThreadThatDrivesItOrOnItsHostsPoster) {
  bool onMain = false;
  int runs = 0;
  DispatchQueue::main().async([&] {
    onMain = DispatchQueue::isMainThread() && DispatchQueue::main().isCurrent();
    DispatchQueue::main().sync([&] { ++runs; });  // inline on the main thread
    DispatchQueue::main().async([&] { ++runs; });
  });
  std::atomic<bool> served{false};
  std::thread other(
      [&] { DispatchQueue::main().sync([&] { served = DispatchQueue::isMainThread(); }); });
  EXPECT_TRUE(MainQueue::runUntil([&] { return onMain && served && runs == 2; }, 30s));
  other.join();

  // A host's poster receives the waiting items and the new ones.
  std::vector<DispatchQueue::Work> posted;  // the other thread is joined before it is read
  DispatchQueue::main().async([&] { ++runs; });
  MainQueue::setPoster([&](DispatchQueue::Work work) { posted.push_back(std::move(work)); });
  std::thread([&] {
    DispatchQueue::main().async([&] { onMain = DispatchQueue::isMainThread(); });
  }).join();
  MainQueue::setPoster(nullptr);
  ASSERT_EQ(posted.size(), 2u);
  onMain = false;
  for (auto& item : posted) item();
  EXPECT_TRUE(onMain && runs == 3 && MainQueue::drain() == 0);
}

TEST(EasyTimerTest, TicksOnTheMainThreadStopSavesTheCountResumeGoesOnAndDestructionStops) {
  std::vector<std::int64_t> seen;
  bool allOnMain = true;
  EasyTimer* self = nullptr;
  {
    EasyTimer timer([&] {
      seen.push_back(self->spentTime());
      allOnMain = allOnMain && DispatchQueue::isMainThread();
      if (self->spentTime() == 42) self->stop();
    });
    self = &timer;
    timer.start(0.001, true, false);
    ASSERT_TRUE(MainQueue::runUntil([&] { return !seen.empty() && seen.back() == 42; }, 30s));
    MainQueue::runFor(20ms);
    // No tick after stop(), which also clears the count.
    EXPECT_TRUE(seen.size() == 42 && allOnMain && timer.spentTime() == 0) << seen.size();

    seen.clear();
    timer.resume();
    ASSERT_EQ(seen, std::vector<std::int64_t>{42});  // called at once, count restored
    ASSERT_TRUE(MainQueue::runUntil([&] { return seen.size() == 2; }, 30s));
    EXPECT_EQ(seen[1], 43);
    timer.stop();

    // A one-shot with an immediate call runs on the caller and once more when due.
    seen.clear();
    timer.start(0.002, false, true);
    EXPECT_EQ(seen.size(), 1u);
    ASSERT_TRUE(MainQueue::runUntil([&] { return seen.size() == 2; }, 30s));
    MainQueue::runFor(20ms);  // ten periods: a repeating timer would have fired again
    EXPECT_EQ(seen.size(), 2u);
    timer.start(0.001, true, false);  // destroyed while it runs
    ASSERT_TRUE(MainQueue::runUntil([&] { return seen.size() == 3; }, 30s));
  }
  MainQueue::runFor(20ms);
  EXPECT_EQ(seen.size(), 3u);
}

TEST(TimerFormatterTest, MinutesAndSecondsWithTwoDigitsAtLeast) {
  const TimerFormatter formatter;
  for (const auto& [seconds, text] :
       {std::pair{0, "00:00"}, {59, "00:59"}, {65, "01:05"}, {3600, "60:00"}, {6000, "100:00"}}) {
    EXPECT_EQ(formatter.formattedTimeString(seconds), text);
  }
}

}  // namespace
}  // namespace lumo
