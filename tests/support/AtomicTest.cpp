#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

#include "lumo/support/Atomic.h"
#include "lumo/support/AtomicVariable.h"
#include "lumo/support/SpinLock.h"

namespace lumo {
namespace {

using namespace std::chrono_literals;

TEST(AtomicTest, MutateFromEightThreadsReachesTheExactTotal) {
  Atomic<int> total(0, "com.lumo.test.total");
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) total.projectedValue().mutate([](int& v) { ++v; });
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(total.wrappedValue(), 8 * 20000);
}

TEST(AtomicTest, TwoAtomicsDoNotBlockOneAnother) {
  Atomic<int> first(0, "first");
  Atomic<int> second(0, "second");
  std::promise<void> secondDone;
  auto done = secondDone.get_future();
  std::thread other;
  first.mutate([&](int& v) {
    other = std::thread([&] {
      second.mutate([](int& s) { s = 1; });
      secondDone.set_value();
    });
    EXPECT_EQ(done.wait_for(5s), std::future_status::ready);
    v = 1;
  });
  other.join();
  EXPECT_EQ(second.wrappedValue(), 1);
  EXPECT_EQ(first.wrappedValue(), 1);
}

struct Wide {
  long a = 0, b = 0, c = 0;
};

TEST(AtomicTest, AtomicVariableReadsAreNeverTornAndSpinLockExcludes) {
  AtomicVariable<Wide> wide(Wide{});
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (long i = 1; !stop; ++i) wide.setValue(Wide{i, i, i});
  });
  int torn = 0;
  for (int i = 0; i < 50000; ++i) {
    const Wide w = wide.value();
    if (w.a != w.b || w.b != w.c) ++torn;
  }
  stop = true;
  writer.join();
  EXPECT_EQ(torn, 0);

  SpinLock lock;
  long counter = 0;  // guarded by lock
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10000; ++i) {
        lock.lock();
        ++counter;
        lock.unlock();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(counter, 40000);
}

}  // namespace
}  // namespace lumo
