#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "lumo/support/Atomic.h"
#include "lumo/support/AtomicVariable.h"
#include "lumo/support/SpinLock.h"

namespace lumo {
namespace {

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
        lock.lock();
        ++counter;
        lock.unlock();
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
