#pragma once

#include <functional>

#include "lumo/Export.h"
#include "lumo/api/ProfileResponse.h"
#include "lumo/support/Result.h"

namespace lumo {

// Refreshes the signed-in user's profile from the service. Implemented by `ProfileUpdater`.
class LUMO_API ProfileUpdateService {
 public:
  using Completion = std::function<void(Result<ProfileResponse>)>;

  virtual ~ProfileUpdateService() = default;

  // Reads "profile/me" and copies what the library needs into the account store and the plan
  // limits. Signed out: nothing is sent and `completion` is never called. Otherwise
  // `completion` (may be empty) gets the profile or the failure, on the network queue.
  virtual void updateProfileIfNeeded(Completion completion) = 0;
};

}  // namespace lumo
