#include "ConnectionBudget.h"

#include <algorithm>
#include <string_view>

#include "lumo/platform/HttpSession.h"

namespace lumo::detail {

// Read from the URL's text, which libcurl normalised ("scheme://[user@]host[:port]/..."):
// asking the URL for its parts would parse it three times over.
std::string ConnectionBudget::hostOf(const HttpTask& task) {
  const std::string& text = task.originalRequest().url.absoluteString();
  const std::size_t schemeEnd = text.find("://");
  if (schemeEnd == std::string::npos) return text;
  const std::string_view scheme(text.data(), schemeEnd);
  std::string_view authority(text);
  authority.remove_prefix(schemeEnd + 3);
  authority = authority.substr(0, authority.find_first_of("/?#"));
  if (const auto at = authority.rfind('@'); at != std::string_view::npos) {
    authority.remove_prefix(at + 1);
  }
  // A port follows the last colon, unless that colon is inside an IPv6 literal.
  const auto colon = authority.rfind(':');
  const bool hasPort =
      colon != std::string_view::npos && authority.find(']', colon) == std::string_view::npos;
  std::string key = text.substr(0, schemeEnd + 3);
  key.append(authority);
  if (!hasPort) key.append(scheme == "https" ? ":443" : ":80");
  return key;
}

const ConnectionPoolKey* ConnectionBudget::poolOf(const HttpTask& task) {
  return task.session()->configuration().connectionPool.key_.get();
}

const std::string& ConnectionBudget::keyOf(const HttpTask& task) {
  static const std::string kNone;
  const auto it = keys_.find(&task);
  return it == keys_.end() ? kNone : it->second;
}

void ConnectionBudget::enqueue(std::shared_ptr<HttpTask> task) {
  Line& line = lines_[poolOf(*task)];
  if (!line.pool) line.pool = task->session()->configuration().connectionPool.key_;
  // Reading a URL's parts parses it again: the key is worked out once per task.
  const std::string& key = keys_.try_emplace(task.get(), hostOf(*task)).first->second;
  Host& host = line.hosts[key];
  host.waiting.push_back({line.nextOrder++, std::move(task)});
  ++waiting_;
}

bool ConnectionBudget::withdraw(const HttpTask& task) {
  const auto line = lines_.find(poolOf(task));
  if (line == lines_.end()) return false;
  const std::string key = keyOf(task);
  const auto host = line->second.hosts.find(key);
  if (host == line->second.hosts.end()) return false;
  auto& waiting = host->second.waiting;
  const auto it = std::find_if(waiting.begin(), waiting.end(),
                               [&](const Waiting& w) { return w.task.get() == &task; });
  if (it == waiting.end()) return false;
  waiting.erase(it);
  --waiting_;
  keys_.erase(&task);
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
  const std::string key = keyOf(task);
  const auto host = line->second.hosts.find(key);
  if (host == line->second.hosts.end() || host->second.running == 0) return;
  --host->second.running;
  --line->second.running;
  keys_.erase(&task);
  tidy(poolOf(task), key);
}

void ConnectionBudget::tidy(const ConnectionPoolKey* pool, const std::string& key) {
  const auto line = lines_.find(pool);
  const auto host = line->second.hosts.find(key);
  if (host->second.running == 0 && host->second.waiting.empty()) line->second.hosts.erase(host);
  if (line->second.hosts.empty()) lines_.erase(line);
}

}  // namespace lumo::detail
