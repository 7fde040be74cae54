#include <gtest/gtest.h>

#include "lumo/support/DispatchQueue.h"
#include "lumo/support/EasyTimer.h"
#include "lumo/support/TimerFormatter.h"

namespace lumo {
namespace {

using namespace std::chrono_literals;

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
    EXPECT_EQ(seen.size(), 42u);  // no tick after stop()
    EXPECT_TRUE(allOnMain);
    EXPECT_EQ(timer.spentTime(), 0);

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
