#pragma once

#include <curl/curl.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include "ConnectionBudget.h"
#include "lumo/platform/HttpTask.h"

namespace lumo::detail {

struct Transfer;

// The process's one network thread. It owns libcurl's multi handle and every easy handle:
// all libcurl calls of the HTTP layer happen on it. Other threads hand it commands, which
// wake it through `curl_multi_wakeup`. Made on first use and never destroyed, so that no
// transfer outlives its thread at exit.
class NetworkThread {
 public:
  static NetworkThread& instance();
  // True once `instance()` has made the thread.
  static bool exists();

  // Starts the transfer of a task that was just resumed, once its session has a place for it.
  void start(std::shared_ptr<HttpTask> task);
  // Stops the task's transfer, or takes it out of the line, and completes it as cancelled.
  void cancel(std::shared_ptr<HttpTask> task);

  // Easy handles alive.
  std::size_t liveTransfers() const { return liveTransfers_.load(); }
  // Resumed tasks that wait for a place.
  std::size_t waitingTransfers() const { return waitingTransfers_.load(); }

 private:
  NetworkThread();
  void post(std::function<void()> command);
  void run();
  void begin(const std::shared_ptr<HttpTask>& task);
  // Starts the waiting tasks of `task`'s session that have a place now.
  void startAdmitted(const HttpTask& task);
  // Hands the task's request to libcurl; false when it failed (and was completed) at once.
  bool launch(const std::shared_ptr<HttpTask>& task);
  void stop(const std::shared_ptr<HttpTask>& task);
  void complete(Transfer* transfer, CURLcode result);
  // Completes the task of a transfer that libcurl has finished with.
  static void deliver(Transfer& transfer, CURLcode result);

  CURLM* const multi_;  // never cleaned up: the thread runs for the life of the process
  std::atomic<std::size_t> liveTransfers_{0};
  std::atomic<std::size_t> waitingTransfers_{0};  // a copy of budget_.waiting() for other threads

  std::mutex mu_;
  std::vector<std::function<void()>> commands_;  // guarded by mu_

  // Network thread only.
  std::unordered_map<std::uint64_t, std::unique_ptr<Transfer>> transfers_;
  ConnectionBudget budget_;
};

}  // namespace lumo::detail
