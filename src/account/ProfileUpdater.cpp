#include "lumo/account/ProfileUpdater.h"

#include <utility>

#include "lumo/account/Content.h"
#include "lumo/account/UserAccountStore.h"
#include "lumo/api/API.h"
#include "lumo/api/Empty.h"

namespace lumo {

void ProfileUpdater::updateProfileIfNeeded(Completion completion) {
  if (!_userAccountStore->authToken()) return;
  std::weak_ptr<ProfileUpdater> weak = weak_from_this();
  API<Empty, ProfileResponse>().get(
      Endpoint::me(), HTTPMethod::get,
      [weak, completion = std::move(completion)](Result<ProfileResponse> result) {
        auto self = weak.lock();
        if (!self) return;
        if (!result) {
          self->_logService->error(
              result.error(),
              LogInfo{{"Error update profile", result.error().localizedDescription()}});
          if (completion) completion(std::move(result));
          return;
        }
        self->apply(*result);
        if (completion) completion(std::move(result));
      });
}

void ProfileUpdater::apply(const ProfileResponse& p) {
  auto store = std::dynamic_pointer_cast<UserAccountStore>(_userAccountStore.wrappedValue());
  if (!store) return;
  store->setEmail(p.email);
  store->setCanUpload(p.canUpload);
  store->setRemainingDailyItemsCount(p.remainingDailyItemsCount);
  store->setRemainingDailyQuotaInBytes(p.remainingDailyQuotaInBytes);
  Content::Limits::setMaxDailyFilesCount(p.maxDailyFilesCount);
  Content::Limits::setMaxContentSize(p.maxContentSize);
  Content::Limits::setMaxDailyFilesQuota(p.maxDailyFilesQuotaInBytes);
  Content::Limits::setMaxLenghtInSeconds(p.maxLengthInSeconds);
  Content::Limits::setMaxMonthlyFilesQuota(p.maxMonthlyFilesQuotaInBytes);
}

}  // namespace lumo
