#pragma once

#include <string>
#include <utility>

#include "lumo/Export.h"
#include "lumo/capture/ScreenCapture.h"

namespace lumo {

// What a user notification is about.
//
//   UserNotificationKind::screenshotQueued()          a screenshot passed the quota check and
//                                                     its link was copied; upload queued next
//   UserNotificationKind::gifQueued(), fileQueued()   the same for a GIF or another file
//   UserNotificationKind::screencastQueued()          a screencast's upload was queued and its
//                                                     page link copied
//   UserNotificationKind::uploadCompleted()           an upload finished
//   UserNotificationKind::uploadFailed("GIF")         an upload failed; the item word is one of
//                                                     "screenshot", "screencast", "GIF", "file"
struct LUMO_API UserNotificationKind {
  enum class Type {
    screenshotQueued,
    screencastQueued,
    gifQueued,
    fileQueued,
    uploadCompleted,
    uploadFailed,
  };

  // The item words of `uploadFailed`.
  static constexpr const char* kScreenshotItem = "screenshot";
  static constexpr const char* kScreencastItem = "screencast";
  static constexpr const char* kGIFItem = "GIF";
  static constexpr const char* kFileItem = "file";

  Type type = Type::uploadCompleted;
  // The item word for `uploadFailed`; empty for the other kinds.
  std::string item;

  static UserNotificationKind screenshotQueued() { return {Type::screenshotQueued, {}}; }
  static UserNotificationKind screencastQueued() { return {Type::screencastQueued, {}}; }
  static UserNotificationKind gifQueued() { return {Type::gifQueued, {}}; }
  static UserNotificationKind fileQueued() { return {Type::fileQueued, {}}; }
  static UserNotificationKind uploadCompleted() { return {Type::uploadCompleted, {}}; }
  static UserNotificationKind uploadFailed(std::string item) {
    return {Type::uploadFailed, std::move(item)};
  }

  friend bool operator==(const UserNotificationKind&, const UserNotificationKind&) = default;
};

// Host-supplied: shows the user a notification about a capture. Optional: when the host
// registers none, notifications are skipped.
//
// The library calls it fire-and-forget, from the thread of the share request or on the main
// queue, and always passes an empty `detail`.
class LUMO_API UserNotificationsService {
 public:
  virtual ~UserNotificationsService() = default;
  virtual void showNotification(const UserNotificationKind& kind, const std::string& detail,
                                const ScreenCapture& screenCapture) = 0;
};

}  // namespace lumo
