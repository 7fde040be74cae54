#include <memory>

#include "lumo/registry/Resolver.h"
#include "lumo/sharing/EnvironmentHelperService.h"
#include "lumo/support/LogService.h"

namespace {
struct ProbeEnvironment : lumo::EnvironmentHelperService {
  bool isDebug() const override { return true; }
};
}  // namespace

extern "C" __attribute__((visibility("default"))) void probeRegisterEnvironment() {
  lumo::Resolver::registerInMain<lumo::EnvironmentHelperService>(
      [] { return std::make_shared<ProbeEnvironment>(); });
}

extern "C" __attribute__((visibility("default"))) lumo::LogService* probeResolveLog() {
  return lumo::Resolver::optionalFromRoot<lumo::LogService>().get();
}
