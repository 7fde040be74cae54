#include <stdlib.h>

#include <filesystem>
#include <memory>

#include "lumo/account/UserAccountStore.h"
#include "lumo/api/APISettings.h"
#include "lumo/registry/Resolver.h"
#include "lumo/sharing/ShareURLHelper.h"
#include "lumo/storage/LocalFilesManager.h"
#include "lumo/support/Log.h"
#include "task_test_support.h"

namespace lumo::tasktest {

void installServices(const DevStack& stack) {
  static std::shared_ptr<TestEnvironment> environment = [&stack] {
    // The account store keeps its token in the application's defaults: a private folder keeps
    // the tests away from the user's own.
    std::string pattern = (std::filesystem::temp_directory_path() / "lumo-tasks-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) ::setenv("XDG_CONFIG_HOME", pattern.c_str(), 1);
    APISettings::setServiceAddresses({stack.apiBase, stack.shareBase});
    auto shared = std::make_shared<TestEnvironment>();
    Resolver::registerInMain<EnvironmentHelperService>([shared] { return shared; });
    Resolver::registerInMain<LogService>([] {
      return std::make_shared<Log>();
    }).scope(Resolver::application());
    Resolver::registerInMain<UserAccountStoreService>([] {
      return std::make_shared<UserAccountStore>();
    }).scope(Resolver::application());
    Resolver::registerInMain<APISettingsService>([] {
      return std::make_shared<APISettings>();
    }).scope(Resolver::application());
    Resolver::registerInMain<ShareURLHelperService>([] {
      return std::make_shared<ShareURLHelper>();
    }).scope(Resolver::application());
    Resolver::registerInMain<LocalFilesService>([] {
      return std::make_shared<LocalFilesManager>();
    }).scope(Resolver::application());
    return shared;
  }();
  useToken(stack.token);
}

void useToken(const std::optional<std::string>& token) {
  auto store = Resolver::resolveFromRoot<UserAccountStoreService>();
  if (token) {
    store->login(*token);
  } else {
    store->logout();
  }
}

}  // namespace lumo::tasktest
