#pragma once

#include <mutex>
#include <string>
#include <utility>

namespace lumo {

// A value whose reads, writes and in-place changes are serialised, each as one step.
//
//   Atomic<std::set<ShareStateModel>> states{{}, "com.lumo.share.statesSetQueue"};
//   states.mutate([&](auto& set) { set.insert(model); });
//   auto copy = states.wrappedValue();
//
// `change` in `mutate` must not touch the same Atomic (that would deadlock) and must not keep a
// reference to the value. Two Atomics never block one another. The label is for diagnostics.
template <typename Value>
class Atomic {
 public:
  explicit Atomic(Value wrappedValue, std::string queueLabel = "lumo.atomic")
      : label_(std::move(queueLabel)), value_(std::move(wrappedValue)) {}
  Atomic(const Atomic&) = delete;
  Atomic& operator=(const Atomic&) = delete;

  // A copy of the value.
  Value wrappedValue() const {
    std::lock_guard guard(mu_);
    return value_;
  }
  void setWrappedValue(Value value) {
    std::lock_guard guard(mu_);
    value_ = std::move(value);
  }
  Value value() const { return wrappedValue(); }
  void setValue(Value value) { setWrappedValue(std::move(value)); }

  // The Atomic itself, so that its owner can reach `mutate`.
  Atomic& projectedValue() { return *this; }

  // Runs `change(value)` as one step with respect to every other access of this Atomic.
  template <typename Change>
  void mutate(Change&& change) {
    std::lock_guard guard(mu_);
    std::forward<Change>(change)(value_);
  }

  const std::string& label() const { return label_; }

 private:
  const std::string label_;
  mutable std::mutex mu_;
  Value value_;  // guarded by mu_
};

}  // namespace lumo
