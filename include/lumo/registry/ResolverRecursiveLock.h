#pragma once

#include <pthread.h>

#include "lumo/Export.h"

namespace lumo {

// The one process-wide recursive lock that serialises every registration and resolution on
// every container. Recursive, so that factories may resolve and register on the same thread.
//
// Satisfies BasicLockable: `std::lock_guard lock(ResolverRecursiveLock::shared());`.
class LUMO_API ResolverRecursiveLock {
 public:
  // The process's lock: created on first use and never destroyed.
  static ResolverRecursiveLock& shared();

  ResolverRecursiveLock(const ResolverRecursiveLock&) = delete;
  ResolverRecursiveLock& operator=(const ResolverRecursiveLock&) = delete;

  void lock() { pthread_mutex_lock(&recursiveMutex_); }
  void unlock() { pthread_mutex_unlock(&recursiveMutex_); }

 private:
  ResolverRecursiveLock();
  ~ResolverRecursiveLock() = delete;

  pthread_mutex_t recursiveMutex_;
  pthread_mutexattr_t recursiveMutexAttr_;
};

}  // namespace lumo
