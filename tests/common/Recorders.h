#pragma once

// Host services for tests that record what the library asks of them. Each record is read with
// a call, e.g. `alerts->messages()`, and is safe to read while the library is still writing.

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "lumo/capture/ScreenCaptureUrl.h"
#include "lumo/sharing/EnvironmentHelperService.h"
#include "lumo/sharing/GlobalAlertsService.h"
#include "lumo/sharing/ProgressDisplay.h"
#include "lumo/sharing/UserNotificationsService.h"
#include "lumo/support/DispatchQueue.h"
#include "lumo/support/Log.h"

namespace lumo::test {

// A list written from any thread; `record()` answers a copy of what was added so far.
template <typename T>
class Record {
 public:
  void add(T value) {
    std::lock_guard lock(mu_);
    values_.push_back(std::move(value));
  }
  std::vector<T> operator()() const {
    std::lock_guard lock(mu_);
    return values_;
  }

 private:
  mutable std::mutex mu_;
  std::vector<T> values_;  // guarded by mu_
};

// The host's environment: debug lines are shown while `debug` is true.
class TestEnvironment : public EnvironmentHelperService {
 public:
  explicit TestEnvironment(bool debug = true) : debug(debug) {}
  bool isDebug() const override { return debug.load(); }
  std::atomic<bool> debug;
};

// Debug lines and errors, recorded in order as well as printed.
class RecordingLog : public Log {
 public:
  using Log::debug;
  using Log::error;
  void debug(const std::string& message, bool showInReleaseMode) override {
    lines.add(message);
    Log::debug(message, showInReleaseMode);
  }
  void error(const Error& e, const std::optional<LogInfo>& info, bool showInReleaseMode,
             bool sendToRollbar) override {
    errors.add(e);
    Log::error(e, info, showInReleaseMode, sendToRollbar);
  }
  // The recorded lines that start with `prefix`.
  std::vector<std::string> linesStartingWith(const std::string& prefix) const {
    auto out = lines();
    std::erase_if(out, [&](auto& line) { return !line.starts_with(prefix); });
    return out;
  }

  Record<std::string> lines;
  Record<Error> errors;
};

// The alerts shown, in order.
class RecordingAlerts : public GlobalAlertsService {
 public:
  void showAlert(const std::string& message) override { messages.add(message); }
  Record<std::string> messages;
};

struct Notification {
  UserNotificationKind kind;
  std::string detail, path;  // `path`: the capture's relative path
  bool onMainThread = false;
};

// The notifications shown, in order, and whether each came on the main thread.
class RecordingNotifications : public UserNotificationsService {
 public:
  void showNotification(const UserNotificationKind& kind, const std::string& detail,
                        const ScreenCapture& capture) override {
    notifications.add({kind, detail, relativeScreenCapturePath(capture.fileURL()),
                       DispatchQueue::isMainThread()});
  }
  Record<Notification> notifications;
};

// The values given to the progress display, in order.
class RecordingProgress : public ProgressDisplay {
 public:
  void updateProgress(double progress) override { values.add(progress); }
  Record<double> values;
};

// Once per process: gives it a defaults folder of its own (XDG_CONFIG_HOME), registers what
// the account and API layers resolve (this environment, `Log`, the account store) and points the
// service addresses at the reference service when it runs. Call before anything reads defaults.
TestEnvironment& installAccountServices();

}  // namespace lumo::test
