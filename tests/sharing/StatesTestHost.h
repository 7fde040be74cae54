#pragma once

// What a host registers for the share states store and the upload queue, for the sharing
// tests and their child processes: the environment (debug lines on), `Log`, the directories and
// local files services, and optionally an alerts service that records what it is asked to show.

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "lumo/registry/Resolver.h"
#include "lumo/sharing/EnvironmentHelperService.h"
#include "lumo/sharing/GlobalAlertsService.h"
#include "lumo/storage/DirectoriesManager.h"
#include "lumo/storage/LocalFilesManager.h"
#include "lumo/support/Log.h"

namespace lumo::states_test {

class TestEnvironment : public EnvironmentHelperService {
 public:
  explicit TestEnvironment(bool debug) : debug_(debug) {}
  bool isDebug() const override { return debug_.load(); }

 private:
  std::atomic<bool> debug_;
};

// The host's alerts, kept in order.
class RecordingAlerts : public GlobalAlertsService {
 public:
  void showAlert(const std::string& message) override {
    std::lock_guard lock(mu_);
    messages_.push_back(message);
  }
  std::vector<std::string> messages() const {
    std::lock_guard lock(mu_);
    return messages_;
  }

 private:
  mutable std::mutex mu_;
  std::vector<std::string> messages_;  // guarded by mu_
};

// Starts the container afresh with the services the store needs. `alerts` may be empty.
inline void registerStatesHost(bool debug, std::shared_ptr<GlobalAlertsService> alerts = nullptr) {
  Resolver::reset();
  auto environment = std::make_shared<TestEnvironment>(debug);
  Resolver::registerInMain<EnvironmentHelperService>([environment] { return environment; });
  Resolver::registerInMain<LogService>([] {
    return std::make_shared<Log>();
  }).scope(Resolver::application());
  Resolver::registerInMain<DirectoriesService>([] {
    return std::make_shared<DirectoriesManager>();
  }).scope(Resolver::application());
  Resolver::registerInMain<LocalFilesService>([] {
    return std::make_shared<LocalFilesManager>();
  }).scope(Resolver::application());
  if (alerts) Resolver::registerInMain<GlobalAlertsService>([alerts] { return alerts; });
}

}  // namespace lumo::states_test
