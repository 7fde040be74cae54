#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "lumo/Export.h"
#include "lumo/account/UserAccountStoreService.h"
#include "lumo/platform/UserDefaults.h"
#include "lumo/registry/Injected.h"
#include "lumo/support/LogService.h"
#include "lumo/support/NotificationCenter.h"

namespace lumo {

// The library's account store. Everything lives in the application's own user-defaults store
// (`UserDefaults::standard()`), so it survives restarts; the token is also held in memory.
//
//   Resolver::registerInMain<UserAccountStoreService>(
//       [] { return std::make_shared<UserAccountStore>(); }).scope(Resolver::application());
//
//   store->login(token);            // keeps the token, in memory and under "access_token"
//   store->remainingDailyItemsCount();
//   store->logout();                // drops the token and the e-mail
//
// The store observes "APIReceiveUnauthStatusCode" on the default notification centre (delivered
// on the main queue): the host posts it when the service answers 401, and the store then drops
// the token, keeping the e-mail, upload right and counts. The observation ends with the store.
//
// Threads: the token may be read and changed from any thread (API calls read it on the network
// queue). Each change updates the memory first and then the defaults, and changes are applied
// one at a time, so memory and defaults agree once a change returns. Failed writes to the
// defaults are logged through the log service; the memory keeps the new value.
class LUMO_API UserAccountStore : public UserAccountStoreService {
 public:
  // Resolves the log service, opens the standard defaults and reads the stored token (the value
  // read is not written back).
  UserAccountStore();
  ~UserAccountStore() override;
  UserAccountStore(const UserAccountStore&) = delete;
  UserAccountStore& operator=(const UserAccountStore&) = delete;

  bool isLoggedIn() const override;
  std::optional<User> currentUser() const override;
  bool canUpload() const override;
  bool finishedTutorial() const override;
  void setFinishedTutorial(bool finished) override;
  // The 8 bytes under "items" as a signed little-endian integer (shorter data is read as its
  // low bytes; empty data reads as 0); `Content::Limits::maxDailyFilesCount()` when the key has
  // no data.
  std::int64_t remainingDailyItemsCount() const override;
  // The 8 bytes under "quota", unsigned, as above; `Content::Limits::maxDailyFilesQuota()` when
  // the key has no data.
  std::uint64_t remainingDailyQuotaInBytes() const override;
  std::optional<std::string> authToken() const override;
  void login(std::string token) override;
  void logout() override;

  // Sets the token in memory, then stores it under "access_token" (removes the key when absent).
  void setAuthToken(std::optional<std::string> token);
  // The stored e-mail ("email"); setting nothing removes the key.
  std::optional<std::string> email() const;
  void setEmail(std::optional<std::string> email);
  // Stores the upload right under "canUpload".
  void setCanUpload(bool canUpload);
  // Store the 8 little-endian bytes of the value under "items" / "quota". The store never
  // decrements them itself: only the service's reports (the profile updater) change them.
  void setRemainingDailyItemsCount(std::int64_t count);
  void setRemainingDailyQuotaInBytes(std::uint64_t bytes);

  // The defaults store the account lives in.
  UserDefaults& storage() const { return storage_; }

 private:
  struct State;  // the token and its locks, shared with the notification observer

  Injected<LogService> _logService;
  UserDefaults& storage_;
  std::shared_ptr<State> state_;
  NotificationCenter::Token observer_ = 0;
};

}  // namespace lumo
