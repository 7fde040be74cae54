#pragma once

#include <memory>
#include <optional>
#include <utility>

#include "lumo/registry/ResolverName.h"
#include "lumo/registry/ResolverRegistration.h"
#include "lumo/registry/ResolverScope.h"

namespace lumo {

// A handle on one registration, returned by `registerService` so that its options can be
// chained:
//
//   resolver->registerService<Log>([] { return std::make_shared<Log>(); })
//       .scope(Resolver::application())
//       .implements<LogService>()
//       .resolveProperties([](Resolver& r, Log& log) { log.attach(r.resolve<Sink>()); });
//
// The handle shares ownership of the registration, so it may be kept and used at any time:
// after a later registration under the same type and name, `Resolver::reset()` or `setMain`,
// it still refers to its own registration, which then no longer answers resolutions. Copies
// refer to the same registration. Every option takes the container's lock.
template <typename Service>
class ResolverOptions {
 public:
  explicit ResolverOptions(std::shared_ptr<ResolverRegistration<Service>> registration)
      : registration_(std::move(registration)) {}

  // Replaces the registration's scope.
  // The check misses the move below when it sits in a class template.
  // NOLINTNEXTLINE(performance-unnecessary-value-param)
  ResolverOptions scope(std::shared_ptr<ResolverScope> scope) const {
    registration_->setScope(std::move(scope));
    return *this;
  }
  // The registration's scope.
  std::shared_ptr<ResolverScope> scope() const { return registration_->scope(); }

  // Sets the hook called on every newly made service before it is handed out: either
  // `void(Resolver&, Service&)` or `void(Resolver&, Service&, const Resolver::Args&)`. A second
  // call with the same form replaces the first.
  template <typename F>
  ResolverOptions resolveProperties(F&& mutator) const {
    registration_->setMutator(std::forward<F>(mutator));
    return *this;
  }

  // Registers, in the container that made this registration (when it still exists), a further
  // registration for `Other` (and `name`) that resolves this registration's service type from
  // the resolving container and hands it out as `Other` (nothing when it is not one). The
  // further registration takes the arguments form and the current default scope.
  template <typename Other>
  ResolverOptions implements(std::optional<ResolverName> name = std::nullopt) const;

 private:
  std::shared_ptr<ResolverRegistration<Service>> registration_;
};

}  // namespace lumo
