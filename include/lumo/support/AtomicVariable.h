#pragma once

#include <mutex>
#include <utility>

#include "lumo/support/SpinLock.h"

namespace lumo {

// A value guarded by its own SpinLock: reads copy it out, writes replace it, each as one step.
// A read-change-write through `value()` and `setValue()` is two steps; callers that need it as
// one serialise it themselves (or use `Atomic::mutate`).
//
//   AtomicVariable<double> completedProgress{0.0};
//   completedProgress.setValue(completedProgress.value() + 0.25);
template <typename Value>
class AtomicVariable {
 public:
  explicit AtomicVariable(Value value) : value_(std::move(value)) {}
  AtomicVariable(const AtomicVariable&) = delete;
  AtomicVariable& operator=(const AtomicVariable&) = delete;

  Value value() const {
    std::lock_guard guard(lock_);
    return value_;
  }
  void setValue(Value value) {
    std::lock_guard guard(lock_);
    value_ = std::move(value);
  }

 private:
  Value value_;  // guarded by lock_
  mutable SpinLock lock_;
};

}  // namespace lumo
