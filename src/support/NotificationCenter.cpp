#include "lumo/support/NotificationCenter.h"

#include <utility>

namespace lumo {

NotificationCenter& NotificationCenter::defaultCenter() {
  static auto* center = new NotificationCenter();  // never destroyed
  return *center;
}

NotificationCenter::Token NotificationCenter::addObserver(std::string name,
                                                          std::optional<DispatchQueue> queue,
                                                          Observer observer) {
  std::lock_guard lock(mu_);
  const Token token = next_++;
  entries_.emplace(token, Entry{std::move(name), std::move(queue),
                                std::make_shared<Observer>(std::move(observer))});
  return token;
}

void NotificationCenter::removeObserver(Token token) {
  std::lock_guard lock(mu_);
  entries_.erase(token);
}

void NotificationCenter::post(const Notification& notification) {
  // Deliver outside the lock so that observers may add or remove observers.
  std::vector<Entry> targets;
  {
    std::lock_guard lock(mu_);
    for (const auto& [token, entry] : entries_) {
      if (entry.name == notification.name) targets.push_back(entry);
    }
  }
  for (auto& entry : targets) {
    if (entry.queue) {
      entry.queue->async([observer = entry.observer, notification] { (*observer)(notification); });
    } else {
      (*entry.observer)(notification);
    }
  }
}

}  // namespace lumo
