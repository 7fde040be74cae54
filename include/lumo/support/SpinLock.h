#pragma once

#include <mutex>

#include "lumo/Export.h"

namespace lumo {

// A small non-recursive lock for short critical sections (a copy or an assignment). It blocks
// rather than spins: waiting threads sleep in the kernel. Locking it twice on one thread
// deadlocks.
//
//   SpinLock lock;
//   lock.lock();  ...  lock.unlock();
//   std::lock_guard guard(lock);   // BasicLockable
class LUMO_API SpinLock {
 public:
  SpinLock() = default;
  SpinLock(const SpinLock&) = delete;
  SpinLock& operator=(const SpinLock&) = delete;

  void lock() { mutex_.lock(); }
  // Must be called by the thread that locked.
  void unlock() { mutex_.unlock(); }

 private:
  std::mutex mutex_;
};

}  // namespace lumo
