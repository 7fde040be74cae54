#pragma once

#include <functional>
#include <string>

#include "lumo/sharing/UserNotificationsService.h"

namespace lumo::cli {

// A line on standard error for every notification, and a desktop notification through
// `notify-send` when it is installed and a display is present.
class DesktopNotifications : public UserNotificationsService {
 public:
  // `writeLine` puts a line on standard error (above the progress line).
  explicit DesktopNotifications(std::function<void(const std::string&)> writeLine)
      : writeLine_(std::move(writeLine)) {}

  void showNotification(const UserNotificationKind& kind, const std::string& detail,
                        const ScreenCapture& screenCapture) override;

  // The sentence shown for `kind`.
  static std::string describe(const UserNotificationKind& kind);

 private:
  const std::function<void(const std::string&)> writeLine_;
};

}  // namespace lumo::cli
