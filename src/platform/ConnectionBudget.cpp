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

void ConnectionBudget::enqueue(std::shared_ptr<HttpTask> task) {
  Line& line = lines_[task->session().get()];
  line.hosts[hostOf(*task)].waiting.push_back({line.nextOrder++, std::move(task)});
  ++waiting_;
}

bool ConnectionBudget::withdraw(const HttpTask& task) {
  const auto line = lines_.find(task.session().get());
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
  tidy(task.session().get(), key);
  return true;
}

std::vector<std::shared_ptr<HttpTask>> ConnectionBudget::admit(const HttpTask& task) {
  std::vector<std::shared_ptr<HttpTask>> ready;
  const auto found = lines_.find(task.session().get());
  if (found == lines_.end()) return ready;
  Line& line = found->second;
  // A bound of 0 would stall the session for good: it counts as 1.
  const HttpSessionConfiguration& config = task.session()->configuration();
  const std::size_t perHost = std::max<std::size_t>(config.httpMaximumConnectionsPerHost, 1);
  const std::size_t total = std::max<std::size_t>(config.httpMaximumConnections, 1);
  while (line.running < total) {
    // The earliest resumed task among the hosts with a free place.
    Host* next = nullptr;
    for (auto& [key, host] : line.hosts) {
      if (host.waiting.empty() || host.running >= perHost) continue;
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
  const auto line = lines_.find(task.session().get());
  if (line == lines_.end()) return;
  const std::string key = hostOf(task);
  const auto host = line->second.hosts.find(key);
  if (host == line->second.hosts.end() || host->second.running == 0) return;
  --host->second.running;
  --line->second.running;
  tidy(task.session().get(), key);
}

void ConnectionBudget::tidy(const HttpSession* session, const std::string& key) {
  const auto line = lines_.find(session);
  const auto host = line->second.hosts.find(key);
  if (host->second.running == 0 && host->second.waiting.empty()) line->second.hosts.erase(host);
  if (line->second.hosts.empty()) lines_.erase(line);
}

}  // namespace lumo::detail
