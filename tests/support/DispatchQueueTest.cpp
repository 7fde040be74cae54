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

TEST(DispatchQueueTest, SerialQueueRunsItemsOneAtATimeInSubmissionOrder) {
  DispatchQueue queue("serial");
  std::vector<int> order;  // touched only by the queue's items
  std::atomic<int> running{0};
  std::atomic<int> overlaps{0};
  for (int i = 0; i < 500; ++i) {
    queue.async([&, i] {
      if (running.fetch_add(1) != 0) overlaps.fetch_add(1);
      order.push_back(i);
      running.fetch_sub(1);
    });
  }
  queue.sync([] {});
  ASSERT_EQ(order.size(), 500u);
  for (int i = 0; i < 500; ++i) EXPECT_EQ(order[i], i);
  EXPECT_EQ(overlaps.load(), 0);
}

TEST(DispatchQueueTest, SyncRunsOnTheCallerAfterEarlierItemsExclusivelyAndStopsOnItsOwnQueue) {
  DispatchQueue queue("handoff");
  std::atomic<bool> earlierDone{false};
  queue.async([&] {
    std::this_thread::sleep_for(20ms);
    earlierDone = true;
  });
  std::thread::id ranOn;
  bool wasCurrent = false;
  queue.sync([&] {
    ranOn = std::this_thread::get_id();
    wasCurrent = queue.isCurrent();
    EXPECT_TRUE(earlierDone.load());
  });
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  EXPECT_TRUE(wasCurrent);
  EXPECT_FALSE(queue.isCurrent());

  // Items submitted while a sync runs follow it.
  std::vector<int> order;
  queue.sync([&] {
    queue.async([&] { order.push_back(2); });
    order.push_back(1);
  });
  queue.sync([] {});
  EXPECT_EQ(order, (std::vector<int>{1, 2}));

  // sync and async from many threads are exclusive.
  long counter = 0;  // guarded by the queue
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 500; ++i) {
        queue.sync([&] { ++counter; });
        queue.async([&] { ++counter; });
      }
    });
  }
  for (auto& thread : threads) thread.join();
  queue.sync([] {});
  EXPECT_EQ(counter, 8 * 500 * 2);

  EXPECT_STOPS_WITH(
      {
        DispatchQueue queue("own");
        queue.sync([&] { queue.sync([] {}); });
      },
      "DispatchQueue(own).sync called from its own queue: deadlock");
}

TEST(DispatchQueueTest, AsyncAfterRunsWhenDueInDueOrder) {
  DispatchQueue queue("later");
  std::promise<void> done;
  std::vector<std::pair<int, Clock::duration>> fired;  // touched only by the queue's items
  const auto first = Clock::now();
  queue.asyncAfter(200ms, [&] {
    fired.emplace_back(200, Clock::now() - first);
    done.set_value();
  });
  const auto second = Clock::now();
  queue.asyncAfter(10ms, [&] { fired.emplace_back(10, Clock::now() - second); });
  ASSERT_EQ(done.get_future().wait_for(5s), std::future_status::ready);
  queue.sync([] {});
  ASSERT_EQ(fired.size(), 2u);
  for (const auto& [delay, after] : fired) EXPECT_GE(after, std::chrono::milliseconds(delay));
  // Unless this thread was held up past the first due time between the two submissions, the
  // later submission with the earlier due time runs first.
  if (second - first < 150ms) {
    EXPECT_EQ(fired[0].first, 10);
  }
}

TEST(DispatchQueueTest, GlobalPoolGrowsWhenItemsWaitForLaterItems) {
  constexpr int kWaiters = 24;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  DispatchGroup group;
  std::atomic<int> finished{0};
  for (int i = 0; i < kWaiters; ++i) {
    DispatchQueue::global().async(group, [&] {
      released.wait();
      finished.fetch_add(1);
    });
  }
  DispatchQueue::global().async([&] { release.set_value(); });
  ASSERT_TRUE(group.waitFor(10s));
  EXPECT_EQ(finished.load(), kWaiters);
}

TEST(DispatchQueueTest, GroupWaitsForItsItemsAndNotifiesAfterwards) {
  DispatchQueue queue("notify");
  std::atomic<int> done{0};
  std::promise<int> notified;
  {
    // The group object goes away before its items run: they keep its state alive.
    DispatchGroup group;
    for (int i = 0; i < 10; ++i) {
      DispatchQueue::global().async(group, [&] {
        std::this_thread::sleep_for(2ms);
        done.fetch_add(1);
      });
    }
    group.notify(queue, [&] { notified.set_value(done.load()); });
  }
  auto result = notified.get_future();
  ASSERT_EQ(result.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(result.get(), 10);

  DispatchGroup pending;
  pending.enter();
  EXPECT_FALSE(pending.waitFor(20ms));
  std::atomic<bool> ran{false};
  pending.notify(queue, [&] { ran = true; });
  pending.leave();
  pending.wait();
  queue.sync([] {});
  EXPECT_TRUE(ran.load());

  DispatchGroup empty;
  empty.wait();  // returns at once
  EXPECT_STOPS_WITH(empty.leave(), "DispatchGroup::leave() without a matching enter()");
}

TEST(DispatchQueueTest, MainQueueRunsOnTheThreadThatDrivesIt) {
  EXPECT_FALSE(DispatchQueue::isMainThread());
  std::thread::id ranOn;
  bool onMain = false;
  DispatchQueue::main().async([&] {
    ranOn = std::this_thread::get_id();
    onMain = DispatchQueue::isMainThread() && DispatchQueue::main().isCurrent();
  });
  EXPECT_TRUE(MainQueue::runUntil([&] { return onMain; }, 5s));
  EXPECT_EQ(ranOn, std::this_thread::get_id());

  // sync from another thread is served by the thread running the queue.
  std::atomic<bool> served{false};
  std::thread other(
      [&] { DispatchQueue::main().sync([&] { served = DispatchQueue::isMainThread(); }); });
  EXPECT_TRUE(MainQueue::runUntil([&] { return served.load(); }, 5s));
  other.join();

  // sync on the main thread runs inline.
  int inlineRuns = 0;
  DispatchQueue::main().async([&] { DispatchQueue::main().sync([&] { ++inlineRuns; }); });
  EXPECT_TRUE(MainQueue::runUntil([&] { return inlineRuns == 1; }, 5s));
}

TEST(DispatchQueueTest, HostsDrainRunOrPostTheMainQueue) {
  int ran = 0;
  DispatchQueue::main().async([&] {
    ++ran;
    DispatchQueue::main().async([&] { ++ran; });
  });
  EXPECT_EQ(MainQueue::drain(), 1u);
  EXPECT_EQ(ran, 1);
  EXPECT_EQ(MainQueue::drain(), 1u);
  EXPECT_EQ(ran, 2);

  // run() serves the queue until stopped.
  std::atomic<int> served{0};
  std::thread host([] { MainQueue::run(); });
  for (int i = 0; i < 5; ++i) DispatchQueue::main().async([&] { served.fetch_add(1); });
  DispatchQueue::main().async([] { MainQueue::stop(); });
  host.join();
  EXPECT_EQ(served.load(), 5);

  // A host's poster receives the waiting items and the new ones.
  std::mutex mu;
  std::vector<DispatchQueue::Work> posted;  // guarded by mu
  DispatchQueue::main().async([] {});       // waiting before the poster comes
  MainQueue::setPoster([&](DispatchQueue::Work work) {
    std::lock_guard lock(mu);
    posted.push_back(std::move(work));
  });
  bool onMain = false;
  std::thread([&] {
    DispatchQueue::main().async([&] { onMain = DispatchQueue::isMainThread(); });
  }).join();
  MainQueue::setPoster(nullptr);
  std::vector<DispatchQueue::Work> items;
  {
    std::lock_guard lock(mu);
    items.swap(posted);
  }
  ASSERT_EQ(items.size(), 2u);
  for (auto& item : items) item();  // the host's loop runs them
  EXPECT_TRUE(onMain);
  EXPECT_EQ(MainQueue::drain(), 0u);
}

}  // namespace
}  // namespace lumo
