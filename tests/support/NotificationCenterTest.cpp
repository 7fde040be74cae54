#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "lumo/support/Atomic.h"
#include "lumo/support/AtomicVariable.h"
#include "lumo/support/NotificationCenter.h"
#include "lumo/support/SpinLock.h"

namespace lumo {
namespace {

TEST(NotificationCenterTest, ObserversRunOnThePostingThreadOrTheirQueueAndMayChangeTheCentre) {
  NotificationCenter center;
  DispatchQueue queue("observers");
  int value = 0, calls = 0, added = 0;
  bool onQueue = false, onMain = false;
  center.addObserver("Changed", std::nullopt, [&](const Notification& n) {
    value = std::any_cast<int>(n.userInfo.at("v"));
  });
  center.addObserver("Queued", queue, [&](const Notification&) { onQueue = queue.isCurrent(); });
  center.addObserver("Main", DispatchQueue::main(),
                     [&](const Notification&) { onMain = DispatchQueue::isMainThread(); });
  NotificationCenter::Token self = 0;
  self = center.addObserver("Tick", std::nullopt, [&](const Notification&) {
    ++calls;
    center.removeObserver(self);
    center.addObserver("Tick", std::nullopt, [&](const Notification&) { ++added; });
  });
  center.post(Notification{"Changed", {}, {{"v", 7}}});
  EXPECT_EQ(value, 7);  // at once, on this thread
  center.post("Tick");
  center.post("Tick");
  EXPECT_EQ(calls + added, 2);
  std::thread([&] {
    center.post("Queued");
    center.post("Main");
  }).join();
  queue.sync([] {});
  EXPECT_TRUE(onQueue);
  EXPECT_TRUE(MainQueue::runUntil([&] { return onMain; }, std::chrono::seconds(30)));
}

TEST(NotificationCenterTest, ObserversAddedAndRemovedFromManyThreadsWhilePosting) {
  for (int round = 0; round < 8; ++round) {  // a missing lock shows only now and then
    NotificationCenter center;
    std::atomic<int> kept{0}, removed{0};
    std::vector<NotificationCenter::Token> tokens;
    for (int i = 0; i < 40000; ++i)
      tokens.push_back(center.addObserver("Gone", std::nullopt, [&](auto&) { ++removed; }));
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < 4; ++t) {
      threads.emplace_back([&, t] {
        for (std::size_t i = t; i < tokens.size(); i += 4) {
          center.removeObserver(tokens[i]);
          if (i % 8 == t) center.addObserver("Kept", std::nullopt, [&](auto&) { ++kept; });
          if (i % 512 == t) center.post("Other");
        }
      });
    }
    for (auto& thread : threads) thread.join();
    center.post("Gone");
    center.post("Kept");
    EXPECT_EQ(removed.load(), 0);
    EXPECT_EQ(kept.load(), 40000 / 2);
  }
}

struct Wide {
  long a = 0, b = 0, c = 0;
};

TEST(AtomicTest, ConcurrentMutationsAddUpAndReadsAreNeverTorn) {
  Atomic<int> total(0, "com.lumo.test.total");
  AtomicVariable<Wide> wide(Wide{});
  SpinLock lock;
  long counter = 0;  // guarded by lock
  std::atomic<int> torn{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (long i = 1; i <= 20000; ++i) {
        total.projectedValue().mutate([](int& v) { ++v; });
        if (t % 2) wide.setValue(Wide{i, i, i});
        const Wide w = wide.value();
        if (w.a != w.b || w.b != w.c) ++torn;
        std::lock_guard guard(lock);
        ++counter;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(total.wrappedValue(), 8 * 20000);
  EXPECT_EQ(counter, 8 * 20000);
  EXPECT_EQ(torn.load(), 0);
}

}  // namespace
}  // namespace lumo
