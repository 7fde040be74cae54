#pragma once

#include <memory>

#include "lumo/Export.h"
#include "lumo/account/ProfileUpdateService.h"
#include "lumo/account/UserAccountStoreService.h"
#include "lumo/registry/Injected.h"
#include "lumo/support/LogService.h"

namespace lumo {

// The library's `ProfileUpdateService`. The host registers it and decides when to call it.
//
//   auto updater = Resolver::resolveFromRoot<ProfileUpdateService>();
//   updater->updateProfileIfNeeded([](Result<ProfileResponse> profile) { ... });
//
// On success, when the account store is the library's `UserAccountStore`, it writes in order:
// the e-mail, the upload right, the remaining daily items and quota, then the plan limits
// `Content::Limits` (daily files count, content size, daily quota, screencast length, monthly
// quota). Another store class gets nothing written. A failure is logged with
// {"Error update profile": description} and changes nothing.
//
// Must be held by a `std::shared_ptr` (as every service is): the answer's handler holds the
// updater weakly and does nothing once it is gone.
class LUMO_API ProfileUpdater : public ProfileUpdateService,
                                public std::enable_shared_from_this<ProfileUpdater> {
 public:
  ProfileUpdater() = default;

  void updateProfileIfNeeded(Completion completion) override;

 private:
  void apply(const ProfileResponse& profile);

  Injected<LogService> _logService;
  Injected<UserAccountStoreService> _userAccountStore;
};

}  // namespace lumo
