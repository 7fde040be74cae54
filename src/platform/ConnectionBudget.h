#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "lumo/platform/HttpSession.h"
#include "lumo/platform/HttpTask.h"

namespace lumo::detail {

// What a pool's lines are keyed by: only its address matters.
struct ConnectionPoolKey {};

// The places each pool of connections gives the transfers of its sessions (those made from
// copies of one configuration): at most `httpMaximumConnectionsPerHost` per host (scheme, host
// and port) and `httpMaximumConnections` in all. Tasks without a place wait in their pool's
// line; a host's tasks take places in the order they were resumed. libcurl's own limits are
// process-wide and would let one busy pool hold back the others, hence our own bookkeeping.
// Network thread only, like everything libcurl touches.
class ConnectionBudget {
 public:
  // Puts a resumed task at the end of its pool's line.
  void enqueue(std::shared_ptr<HttpTask> task);
  // Takes a waiting task out of its line; false when it was not waiting.
  bool withdraw(const HttpTask& task);
  // Takes from the line of `task`'s pool every task that has a place now, in resume order,
  // and counts those places as held. A task has a place while its host and the pool run fewer
  // transfers than its own session's bounds.
  std::vector<std::shared_ptr<HttpTask>> admit(const HttpTask& task);
  // Gives back the place a task admitted earlier held.
  void release(const HttpTask& task);

  // Tasks waiting for a place, in all pools.
  std::size_t waiting() const { return waiting_; }

 private:
  struct Waiting {
    std::uint64_t order;
    std::shared_ptr<HttpTask> task;
  };
  struct Host {
    std::deque<Waiting> waiting;
    std::size_t running = 0;
  };
  struct Line {
    // Keeps the pool's key alive, and so its address unique, while the line holds or awaits
    // places.
    std::shared_ptr<const ConnectionPoolKey> pool;
    std::unordered_map<std::string, Host> hosts;
    std::size_t running = 0;
    std::uint64_t nextOrder = 0;
  };
  static std::string hostOf(const HttpTask& task);
  // The host key of a task waiting or holding a place; empty for any other.
  const std::string& keyOf(const HttpTask& task);
  static const ConnectionPoolKey* poolOf(const HttpTask& task);
  // Forgets a host and a line that hold and await nothing.
  void tidy(const ConnectionPoolKey* pool, const std::string& key);

  std::unordered_map<const ConnectionPoolKey*, Line> lines_;
  // The host key of every task waiting or holding a place.
  std::unordered_map<const HttpTask*, std::string> keys_;
  std::size_t waiting_ = 0;
};

}  // namespace lumo::detail
