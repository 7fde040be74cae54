// The host program registers what the library and other modules resolve, and resolves what a
// module registers. Each module instantiates the registry's templates for itself, so this
// passes only if a type's key is the same on every side.
#include <cstdio>
#include <memory>

#include "lumo/registry/Resolver.h"
#include "lumo/sharing/EnvironmentHelperService.h"
#include "lumo/support/Log.h"

extern "C" void probeRegisterEnvironment();
extern "C" lumo::LogService* probeResolveLog();

namespace {
struct CountingEnvironment : lumo::EnvironmentHelperService {
  mutable int asked = 0;
  bool isDebug() const override { return ++asked < 0; }
};

int failures = 0;
void expect(bool ok, const char* what) {
  std::printf("%s: %s\n", ok ? "ok" : "FAILED", what);
  failures += ok ? 0 : 1;
}
}  // namespace

int main() {
  using lumo::Resolver;
  auto environment = std::make_shared<CountingEnvironment>();
  Resolver::registerInMain<lumo::EnvironmentHelperService>([environment] { return environment; });
  // Log's constructor, inside the library, resolves the environment (or stops the process).
  lumo::Log log;
  log.debug("hidden in release builds");
  expect(environment->asked == 1, "the library resolves the host's service");

  auto hostLog = std::make_shared<lumo::Log>();
  Resolver::registerInMain<lumo::LogService>([hostLog] { return hostLog; });
  expect(probeResolveLog() == hostLog.get(), "a module resolves the host's service");

  probeRegisterEnvironment();
  auto resolved = Resolver::optionalFromRoot<lumo::EnvironmentHelperService>();
  expect(resolved && resolved != environment && resolved->isDebug(),
         "the host resolves a module's service");
  return failures == 0 ? 0 : 1;
}
