#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

#include "StopMessage.h"
#include "lumo/support/DispatchQueue.h"

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
  const auto caller = std::this_thread::get_id();
  queue.sync([&] {
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
  EXPECT_TRUE(onMain && runs == 3);
  EXPECT_EQ(MainQueue::drain(), 0u);
}

}  // namespace
}  // namespace lumo
