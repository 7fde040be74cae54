#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "lumo/Export.h"
#include "lumo/account/User.h"

namespace lumo {

namespace NotificationName {
// Posted by the host (never by the library) when the service answers 401; the account store
// then drops the token and keeps everything else.
//
//   NotificationCenter::defaultCenter().post(NotificationName::APIReceiveUnauthStatusCode);
inline constexpr const char* APIReceiveUnauthStatusCode = "APIReceiveUnauthStatusCode";
}  // namespace NotificationName

// The signed-in user's account: the API token, the upload right, the remaining daily counts and
// the tutorial flag. Implemented by `UserAccountStore`.
class LUMO_API UserAccountStoreService {
 public:
  virtual ~UserAccountStoreService() = default;

  // True while a token is held.
  virtual bool isLoggedIn() const = 0;
  // Absent when no e-mail is stored; otherwise the stored e-mail, `paid` when the stored upload
  // right is true and `free` otherwise.
  virtual std::optional<User> currentUser() const = 0;
  // The stored upload right; false when missing.
  virtual bool canUpload() const = 0;
  // The stored tutorial flag; false when missing.
  virtual bool finishedTutorial() const = 0;
  virtual void setFinishedTutorial(bool finished) = 0;
  // The remaining uploads today; the plan's `Content::Limits::maxDailyFilesCount()` when the
  // service has not reported it yet.
  virtual std::int64_t remainingDailyItemsCount() const = 0;
  // The remaining bytes today; `Content::Limits::maxDailyFilesQuota()` when not reported yet.
  virtual std::uint64_t remainingDailyQuotaInBytes() const = 0;
  // The API token held in memory.
  virtual std::optional<std::string> authToken() const = 0;
  // Keeps `token` as the API token (in memory and in the defaults).
  virtual void login(std::string token) = 0;
  // Drops the token and the stored e-mail; the upload right, counts and tutorial flag stay.
  virtual void logout() = 0;
};

}  // namespace lumo
