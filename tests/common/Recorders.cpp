#include "Recorders.h"

#include <cstdlib>

#include "DevService.h"
#include "lumo/account/UserAccountStore.h"
#include "lumo/api/APISettings.h"
#include "lumo/registry/Resolver.h"

namespace lumo::test {

TestEnvironment& installAccountServices() {
  static const auto environment = [] {
    ::setenv("XDG_CONFIG_HOME", makeTempDir("lumo-test-defaults").c_str(), 1);
    auto e = std::make_shared<TestEnvironment>();
    if (const DevService* service = DevService::get(nullptr))
      APISettings::setServiceAddresses({service->apiBase, service->shareBase});
    Resolver::registerInMain<EnvironmentHelperService>([e] { return e; });
    Resolver::registerInMain<LogService>([] {
      return std::make_shared<Log>();
    }).scope(Resolver::application());
    Resolver::registerInMain<UserAccountStoreService>([] {
      return std::make_shared<UserAccountStore>();
    }).scope(Resolver::application());
    return e;
  }();
  return *environment;
}

}  // namespace lumo::test
