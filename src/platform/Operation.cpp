#include "lumo/platform/Operation.h"

#include <utility>
#include <vector>

namespace lumo {

Operation::~Operation() = default;

void Operation::start() {
  if (isExecuting() || isFinished()) return;
  if (isCancelled()) {
    // A cancelled operation still has to finish, or a queue would hold it for good.
    setFinished(true);
    return;
  }
  setExecuting(true);
  main();
  if (!isAsynchronous()) finish();
}

void Operation::main() {}

void Operation::cancel() {
  {
    std::lock_guard lock(mu_);
    if (cancelRequested_) return;  // announced once, also when two threads cancel at once
    cancelRequested_ = true;
  }
  willChangeValue("isCancelled");
  cancelled_.store(true, std::memory_order_release);
  didChangeValue("isCancelled");
}

bool Operation::isExecuting() const {
  return executing_.load(std::memory_order_acquire);
}
bool Operation::isFinished() const {
  return finished_.load(std::memory_order_acquire);
}
bool Operation::isAsynchronous() const {
  return false;
}
bool Operation::isReady() const {
  return true;
}

void Operation::setExecuting(bool executing) {
  willChangeValue("isExecuting");
  executing_.store(executing, std::memory_order_release);
  didChangeValue("isExecuting");
}

void Operation::setFinished(bool finished) {
  willChangeValue("isFinished");
  finished_.store(finished, std::memory_order_release);
  didChangeValue("isFinished");
}

void Operation::finish() {
  setExecuting(false);
  setFinished(true);
}

Operation::ObserverToken Operation::addObserver(std::string keyPath, Observer observer) {
  auto registration =
      std::make_shared<Registration>(Registration{std::move(keyPath), std::move(observer)});
  std::lock_guard lock(mu_);
  const ObserverToken token = nextToken_++;
  observers_.emplace(token, std::move(registration));
  return token;
}

void Operation::removeObserver(ObserverToken token) {
  std::shared_ptr<Registration> removed;  // destroyed after the lock is released
  std::lock_guard lock(mu_);
  auto it = observers_.find(token);
  if (it == observers_.end()) return;
  removed = std::move(it->second);
  observers_.erase(it);
}

void Operation::willChangeValue(std::string_view key) {
  notify(key, true);
}

void Operation::didChangeValue(std::string_view key) {
  notify(key, false);
  if (key != "isFinished" || !isFinished()) return;
  std::function<void()> block;
  {
    std::lock_guard lock(mu_);
    if (finishAnnounced_) return;
    finishAnnounced_ = true;
    block = std::move(completionBlock_);
    completionBlock_ = nullptr;
    finishedCv_.notify_all();
  }
  if (block) block();
}

void Operation::setCompletionBlock(std::function<void()> block) {
  std::lock_guard lock(mu_);
  completionBlock_ = std::move(block);
}

void Operation::waitUntilFinished() {
  std::unique_lock lock(mu_);
  finishedCv_.wait(lock, [this] { return finishAnnounced_; });
}

std::optional<std::int64_t> Operation::currentValue(std::string_view key) const {
  if (key == "isExecuting") return isExecuting() ? 1 : 0;
  if (key == "isFinished") return isFinished() ? 1 : 0;
  if (key == "isCancelled") return isCancelled() ? 1 : 0;
  if (key == "isReady") return isReady() ? 1 : 0;
  return std::nullopt;
}

void Operation::notify(std::string_view key, bool isPrior) {
  // Observers run without the lock: they read flags (whose getters may take the subclass's own
  // locks) and may add or remove observers.
  std::vector<std::shared_ptr<Registration>> targets;
  {
    std::lock_guard lock(mu_);
    for (const auto& [token, registration] : observers_) {
      if (registration->keyPath == key) targets.push_back(registration);
    }
  }
  if (targets.empty()) return;
  KeyValueChange change{std::string(key), isPrior, isPrior ? std::nullopt : currentValue(key)};
  for (const auto& registration : targets) registration->observer(*this, change);
}

}  // namespace lumo
