#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "lumo/support/NotificationCenter.h"

namespace lumo {
namespace {

using namespace std::chrono_literals;

TEST(NotificationCenterTest, ObserversRunOnThePostingThreadOrTheirQueue) {
  NotificationCenter center;
  std::thread::id ranOn;
  int value = 0;
  center.addObserver("Changed", std::nullopt, [&](const Notification& n) {
    ranOn = std::this_thread::get_id();
    value = std::any_cast<int>(n.userInfo.at("value"));
  });
  center.addObserver("Other", std::nullopt, [&](const Notification&) { value = -1; });
  center.post(Notification{"Changed", {}, {{"value", 7}}});
  EXPECT_EQ(value, 7);
  EXPECT_EQ(ranOn, std::this_thread::get_id());

  // Observers with a queue run later on that queue, the main queue included.
  DispatchQueue queue("observers");
  std::promise<bool> delivered;
  center.addObserver("APIReceiveUnauthStatusCode", queue,
                     [&](const Notification&) { delivered.set_value(queue.isCurrent()); });
  std::promise<void> unblock;
  queue.async([f = unblock.get_future().share()] { f.wait(); });
  center.post("APIReceiveUnauthStatusCode");  // returns while the queue is busy
  auto result = delivered.get_future();
  EXPECT_EQ(result.wait_for(20ms), std::future_status::timeout);
  unblock.set_value();
  ASSERT_EQ(result.wait_for(5s), std::future_status::ready);
  EXPECT_TRUE(result.get());
  bool onMain = false;
  center.addObserver("Main", DispatchQueue::main(),
                     [&](const Notification&) { onMain = DispatchQueue::isMainThread(); });
  std::thread([&] { center.post("Main"); }).join();
  EXPECT_TRUE(MainQueue::runUntil([&] { return onMain; }, 5s));
}

TEST(NotificationCenterTest, RemovedObserversStopAndObserversMayChangeTheCentre) {
  NotificationCenter center;
  int calls = 0;
  int added = 0;
  NotificationCenter::Token self = 0;
  self = center.addObserver("Tick", std::nullopt, [&](const Notification&) {
    ++calls;
    center.removeObserver(self);
    center.addObserver("Tick", std::nullopt, [&](const Notification&) { ++added; });
  });
  center.post("Tick");
  center.post("Tick");
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(added, 1);
}

}  // namespace
}  // namespace lumo
