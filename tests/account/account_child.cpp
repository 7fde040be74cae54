// Reads the account as a freshly started process sees it and prints it as one JSON object, so
// that the account tests can check what survives a restart. Runs with the parent's
// XDG_CONFIG_HOME.

#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "lumo/account/UserAccountStore.h"
#include "lumo/account/UserDefaultsDataValue.h"
#include "lumo/account/UserDefaultsValue.h"
#include "lumo/registry/Resolver.h"
#include "lumo/sharing/EnvironmentHelperService.h"
#include "lumo/support/Log.h"

namespace {

class Environment : public lumo::EnvironmentHelperService {
 public:
  bool isDebug() const override { return false; }
};

}  // namespace

int main() {
  using namespace lumo;
  Resolver::registerInMain<EnvironmentHelperService>(
      [] { return std::make_shared<Environment>(); });
  Resolver::registerInMain<LogService>([] { return std::make_shared<Log>(); });
  auto store = std::make_shared<UserAccountStore>();

  nlohmann::json out;
  out["isLoggedIn"] = store->isLoggedIn();
  out["authToken"] = store->authToken() ? nlohmann::json(*store->authToken()) : nullptr;
  out["email"] = store->email() ? nlohmann::json(*store->email()) : nullptr;
  out["canUpload"] = store->canUpload();
  out["finishedTutorial"] = store->finishedTutorial();
  out["items"] = store->remainingDailyItemsCount();
  out["quota"] = store->remainingDailyQuotaInBytes();
  auto recent = UserDefaultsDataValue<std::vector<std::string>>("recentLinks").wrappedValue();
  out["recentLinks"] = recent ? nlohmann::json(*recent) : nullptr;
  out["recentLinksIsData"] = UserDefaults::standard().data("recentLinks").has_value();
  std::printf("%s\n", out.dump().c_str());
  return 0;
}
