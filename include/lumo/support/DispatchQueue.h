#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "lumo/Export.h"

namespace lumo {

class DispatchGroup;

// A queue of work items in the manner of the desktop's dispatch queues.
//
// - Serial queues (`DispatchQueue q("label")`) run their items one at a time, in the order
//   they were submitted, on threads borrowed from the global pool.
// - `DispatchQueue::global()` runs items concurrently on a pool that grows while its threads
//   are blocked, so that work waiting on other work cannot starve the pool.
// - `DispatchQueue::main()` holds work meant for the application's main thread; the host
//   decides who runs it (see `MainQueue`).
//
// Copies of a `DispatchQueue` refer to the same queue. Items already submitted still run after
// the last copy is gone.
class LUMO_API DispatchQueue {
 public:
  using Work = std::function<void()>;

  // A new serial queue. The label is for diagnostics only.
  explicit DispatchQueue(std::string label);

  // The main queue: work for the thread that runs `MainQueue`, or for the host's poster.
  static DispatchQueue& main();
  // The process-wide concurrent pool.
  static DispatchQueue& global();

  const std::string& label() const;

  // Submits `work` and returns at once.
  void async(Work work) const;
  // Submits `work` as part of `group`: the group is entered now and left when `work` returns.
  void async(DispatchGroup& group, Work work) const;
  // Runs `work` and returns when it has run. On a serial queue it runs exclusively with the
  // queue's other items, in submission order, on the calling thread. Calling `sync` on the
  // serial queue that is running the caller would deadlock and stops the process instead. On
  // the main queue from the main thread, `work` runs inline.
  void sync(const Work& work) const;
  // Submits `work` after `delay` has passed.
  void asyncAfter(std::chrono::nanoseconds delay, Work work) const;

  // True when the calling thread is running an item of this queue (for the main queue: when
  // it is the main thread).
  bool isCurrent() const;

  // True on the thread that runs the main queue's items.
  static bool isMainThread();

  friend bool operator==(const DispatchQueue& a, const DispatchQueue& b) {
    return a.state_ == b.state_;
  }

  struct State;  // shared with the implementation's schedulers

 private:
  explicit DispatchQueue(std::shared_ptr<State> state);
  std::shared_ptr<State> state_;
};

// Runs the main queue for hosts and tests.
//
// A host either installs a poster, which forwards each main-queue item into its own GUI loop
// (a GLib idle source, a Qt queued call), or lets a thread run the queue with `run()` (or
// `runUntil()` while it waits for something, as tests do). The thread running the items is "the
// main thread" while it does so.
class LUMO_API MainQueue {
 public:
  // Installs `poster`: from now on every main-queue item is handed to it, and it must run the
  // item on the host's main thread. Items already waiting are handed over at once. An empty
  // function goes back to the built-in queue.
  static void setPoster(std::function<void(DispatchQueue::Work)> poster);

  // Runs main-queue items on the calling thread until `stop()` is called.
  static void run();
  // Makes `run()` return after the item it is running.
  static void stop();

  // Runs main-queue items on the calling thread until `done()` returns true or `timeout` has
  // passed; returns the last answer of `done()`. `done()` is checked before waiting and after
  // every item.
  static bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

  // Runs every item that is ready now (not those submitted while draining) and returns how
  // many ran.
  static std::size_t drain();

  // Runs items for `duration`, then returns.
  static void runFor(std::chrono::milliseconds duration);
};

// A group of work items whose completion can be awaited, as the platform's dispatch groups.
class LUMO_API DispatchGroup {
 public:
  DispatchGroup();

  void enter();
  void leave();
  // Blocks until every `enter()` has been matched by a `leave()`.
  void wait();
  // As `wait()`, giving up after `timeout`; returns true when the group emptied.
  bool waitFor(std::chrono::nanoseconds timeout);
  // Submits `work` to `queue` once the group is empty (at once when it is empty now).
  void notify(const DispatchQueue& queue, DispatchQueue::Work work);

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace lumo
