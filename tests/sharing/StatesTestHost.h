#pragma once

#include "Recorders.h"
#include "lumo/registry/Resolver.h"
#include "lumo/storage/DirectoriesManager.h"
#include "lumo/storage/LocalFilesManager.h"

namespace lumo::states_test {

using namespace lumo::test;

// Starts the container afresh with what the share states store and the upload queue need, for
// the tests and their child processes. `alerts` may be empty.
inline void registerStatesHost(bool debug, std::shared_ptr<GlobalAlertsService> alerts = nullptr) {
  Resolver::reset();
  auto environment = std::make_shared<TestEnvironment>(debug);
  Resolver::registerInMain<EnvironmentHelperService>([environment] { return environment; });
  Resolver::registerInMain<LogService>([] {
    return std::make_shared<Log>();
  }).scope(Resolver::application());
  Resolver::registerInMain<DirectoriesService>([] {
    return std::make_shared<DirectoriesManager>();
  }).scope(Resolver::application());
  Resolver::registerInMain<LocalFilesService>([] {
    return std::make_shared<LocalFilesManager>();
  }).scope(Resolver::application());
  if (alerts) Resolver::registerInMain<GlobalAlertsService>([alerts] { return alerts; });
}

}  // namespace lumo::states_test
