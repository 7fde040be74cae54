#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "lumo/Export.h"
#include "lumo/support/DispatchQueue.h"

namespace lumo {

// A posted notification: its name, an optional sender and an information map.
struct LUMO_API Notification {
  std::string name;
  std::any object;
  std::map<std::string, std::any> userInfo;
};

// Delivers named notifications to observers, in the manner of the desktop's default
// notification centre.
//
//   auto token = NotificationCenter::defaultCenter().addObserver(
//       "APIReceiveUnauthStatusCode", std::nullopt, [](const Notification&) { ... });
//   ...
//   NotificationCenter::defaultCenter().removeObserver(token);
//
// An observer registered with a queue is called asynchronously on that queue; without one it is
// called synchronously on the posting thread. Observers may add or remove observers while
// being called.
class LUMO_API NotificationCenter {
 public:
  using Observer = std::function<void(const Notification&)>;
  using Token = std::uint64_t;

  // The process-wide centre; created on first use and never destroyed.
  static NotificationCenter& defaultCenter();

  NotificationCenter() = default;
  NotificationCenter(const NotificationCenter&) = delete;
  NotificationCenter& operator=(const NotificationCenter&) = delete;

  // Calls `observer` for every notification named `name` until the token is removed.
  Token addObserver(std::string name, std::optional<DispatchQueue> queue, Observer observer);
  // Stops deliveries to the observer; a delivery already running on another thread finishes.
  void removeObserver(Token token);

  void post(const Notification& notification);
  void post(const std::string& name) { post(Notification{name, {}, {}}); }

 private:
  struct Entry {
    std::string name;
    std::optional<DispatchQueue> queue;
    std::shared_ptr<Observer> observer;
  };
  std::mutex mu_;
  Token next_ = 1;                  // guarded by mu_
  std::map<Token, Entry> entries_;  // guarded by mu_
};

}  // namespace lumo
