#include <gtest/gtest.h>

#include "lumo/support/DispatchQueue.h"
#include "lumo/support/EasyTimer.h"
#include "lumo/support/TimerFormatter.h"

namespace lumo {
namespace {

using namespace std::chrono_literals;

TEST(EasyTimerTest, TicksCountOnTheMainThread) {
  int calls = 0;
  bool allOnMain = true;
  EasyTimer timer([&] {
    ++calls;
    allOnMain = allOnMain && DispatchQueue::isMainThread();
  });
  timer.start(0.005, true, false);
  EXPECT_EQ(calls, 0);
  ASSERT_TRUE(MainQueue::runUntil([&] { return timer.spentTime() >= 3; }, 5s));
  EXPECT_EQ(calls, timer.spentTime());
  EXPECT_TRUE(allOnMain);
  timer.stop();
  EXPECT_EQ(timer.spentTime(), 0);
}

TEST(EasyTimerTest, ImmediateCallRunsOnTheCallerAndAOneShotFiresOnce) {
  int calls = 0;
  EasyTimer timer([&] { ++calls; });
  timer.start(0.002, false, true);
  EXPECT_EQ(calls, 1);
  ASSERT_TRUE(MainQueue::runUntil([&] { return calls == 2; }, 5s));
  MainQueue::runFor(20ms);  // ten periods: a repeating timer would have fired again
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(timer.spentTime(), 1);
}

TEST(EasyTimerTest, StopSavesTheCountResumeContinuesAndDestructionStops) {
  std::vector<std::int64_t> seen;
  EasyTimer* self = nullptr;
  EasyTimer timer([&] {
    seen.push_back(self->spentTime());
    if (self->spentTime() == 42) self->stop();
  });
  self = &timer;
  timer.start(0.001, true, false);
  ASSERT_TRUE(MainQueue::runUntil([&] { return !seen.empty() && seen.back() == 42; }, 10s));
  MainQueue::runFor(20ms);
  EXPECT_EQ(seen.size(), 42u);  // no tick after stop()
  EXPECT_EQ(timer.spentTime(), 0);
  timer.stop();  // a second stop changes nothing

  seen.clear();
  timer.resume();
  ASSERT_EQ(seen, std::vector<std::int64_t>{42});  // called at once, count restored
  ASSERT_TRUE(MainQueue::runUntil([&] { return seen.size() == 2; }, 5s));
  EXPECT_EQ(seen[1], 43);
  timer.stop();

  // Destroying a running timer stops it.
  int calls = 0;
  {
    EasyTimer timer([&] { ++calls; });
    timer.start(0.001, true, false);
    ASSERT_TRUE(MainQueue::runUntil([&] { return calls >= 1; }, 5s));
  }
  const int before = calls;
  MainQueue::runFor(30ms);
  EXPECT_EQ(calls, before);
}

TEST(TimerFormatterTest, MinutesAndSecondsWithTwoDigitsAtLeast) {
  const TimerFormatter formatter;
  EXPECT_EQ(formatter.formattedTimeString(0), "00:00");
  EXPECT_EQ(formatter.formattedTimeString(59), "00:59");
  EXPECT_EQ(formatter.formattedTimeString(60), "01:00");
  EXPECT_EQ(formatter.formattedTimeString(65), "01:05");
  EXPECT_EQ(formatter.formattedTimeString(3600), "60:00");
  EXPECT_EQ(formatter.formattedTimeString(6000), "100:00");
}

}  // namespace
}  // namespace lumo
