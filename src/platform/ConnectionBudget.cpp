#include "ConnectionBudget.h"

#include <algorithm>

#include "lumo/platform/HttpSession.h"

namespace lumo::detail {

std::string ConnectionBudget::hostOf(const HttpTask& task) {
  const Url& url = task.originalRequest().url;
  const std::string scheme = url.scheme();
  const int port = url.port().value_or(scheme == "https" ? 443 : 80);
  return scheme + "://" + url.host() + ":" + std::to_string(port);
}

const ConnectionPoolKey* ConnectionBudget::poolOf(const HttpTask& task) {
  return task.session()->configuration().connectionPool.key_.get();
}

void ConnectionBudget::enqueue(std::shared_ptr<HttpTask> task) {
  Line& line = lines_[poolOf(*task)];
  if (!line.pool) line.pool = task->session()->configuration().connectionPool.key_;
  Host& host = line.hosts[hostOf(*task)];
  host.waiting.push_back({line.nextOrder++, std::move(task)});
  ++waiting_;
}

bool ConnectionBudget::withdraw(const HttpTask& task) {
  const auto line = lines_.find(poolOf(task));
  if (line == lines_.end()) return false;
  const std::string key = hostOf(task);
  const auto host = line->second.hosts.find(key);
  if (host == line->second.hosts.end()) return false;
  auto& waiting = host->second.waiting;
  const auto it = std::find_if(waiting.begin(), waiting.end(),
                               [&](const Waiting& w) { return w.task.get() == &task; });
  if (it == waiting.end()) return false;
  waiting.erase(it);
  --waiting_;
  tidy(poolOf(task), key);
  return true;
}

std::vector<std::shared_ptr<HttpTask>> ConnectionBudget::admit(const HttpTask& task) {
  std::vector<std::shared_ptr<HttpTask>> ready;
  const auto found = lines_.find(poolOf(task));
  if (found == lines_.end()) return ready;
  Line& line = found->second;
  for (;;) {
    // The earliest resumed task among the hosts with a free place for it.
    Host* next = nullptr;
    for (auto& [key, host] : line.hosts) {
      if (host.waiting.empty()) continue;
      // A bound of 0 would stall the pool for good: it counts as 1.
      const HttpSessionConfiguration& config =
          host.waiting.front().task->session()->configuration();
      const std::size_t perHost = std::max<std::size_t>(config.httpMaximumConnectionsPerHost, 1);
      const std::size_t total = std::max<std::size_t>(config.httpMaximumConnections, 1);
      if (host.running >= perHost || line.running >= total) continue;
      if (!next || host.waiting.front().order < next->waiting.front().order) next = &host;
    }
    if (!next) break;
    ready.push_back(std::move(next->waiting.front().task));
    next->waiting.pop_front();
    --waiting_;
    ++next->running;
    ++line.running;
  }
  return ready;
}

void ConnectionBudget::release(const HttpTask& task) {
  const auto line = lines_.find(poolOf(task));
  if (line == lines_.end()) return;
  const std::string key = hostOf(task);
  const auto host = line->second.hosts.find(key);
  if (host == line->second.hosts.end() || host->second.running == 0) return;
  --host->second.running;
  --line->second.running;
  tidy(poolOf(task), key);
}

void ConnectionBudget::tidy(const ConnectionPoolKey* pool, const std::string& key) {
  const auto line = lines_.find(pool);
  const auto host = line->second.hosts.find(key);
  if (host->second.running == 0 && host->second.waiting.empty()) line->second.hosts.erase(host);
  if (line->second.hosts.empty()) lines_.erase(line);
}

}  // namespace lumo::detail
