#include "lumo/registry/ResolverRecursiveLock.h"

#include "lumo/support/Fatal.h"

namespace lumo {

ResolverRecursiveLock& ResolverRecursiveLock::shared() {
  // Never destroyed: resolutions may still run while the process exits.
  static auto* lock = new ResolverRecursiveLock();
  return *lock;
}

ResolverRecursiveLock::ResolverRecursiveLock() {
  if (pthread_mutexattr_init(&recursiveMutexAttr_) != 0 ||
      pthread_mutexattr_settype(&recursiveMutexAttr_, PTHREAD_MUTEX_RECURSIVE) != 0 ||
      pthread_mutex_init(&recursiveMutex_, &recursiveMutexAttr_) != 0) {
    stopProcess("RESOLVER: cannot create the recursive lock");
  }
}

}  // namespace lumo
