#pragma once

#include <any>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>

#include "lumo/registry/AnyResolverRegistration.h"
#include "lumo/registry/ResolverArgs.h"
#include "lumo/registry/ResolverName.h"
#include "lumo/registry/ResolverRecursiveLock.h"
#include "lumo/registry/ResolverScope.h"

namespace lumo {

// The options of one registration, returned by `registerService` so that they can be chained:
//
//   resolver->registerService<Log>([] { return std::make_shared<Log>(); })
//       .scope(Resolver::application())
//       .implements<LogService>()
//       .resolveProperties([](Resolver& r, Log& log) { log.attach(r.resolve<Sink>()); });
//
// The reference stays valid while the container keeps the registration (until it is replaced
// by another registration under the same type and name, or the container goes). Every option
// takes the container's lock.
template <typename Service>
class ResolverOptions : public AnyResolverRegistration {
 public:
  using Mutator = std::function<void(Resolver&, Service&)>;
  using MutatorWithArgs = std::function<void(Resolver&, Service&, const ResolverArgs&)>;

  // Replaces the registration's scope.
  // The check misses the move below when it sits in a class template.
  // NOLINTNEXTLINE(performance-unnecessary-value-param)
  ResolverOptions& scope(std::shared_ptr<ResolverScope> scope) {
    std::lock_guard lock(ResolverRecursiveLock::shared());
    scope_ = std::move(scope);
    return *this;
  }
  // The registration's scope.
  std::shared_ptr<ResolverScope> scope() const {
    std::lock_guard lock(ResolverRecursiveLock::shared());
    return scope_;
  }

  // Sets the hook called on every newly made service before it is handed out: either
  // `void(Resolver&, Service&)` or `void(Resolver&, Service&, const Resolver::Args&)`. A second
  // call with the same form replaces the first.
  template <typename F>
  ResolverOptions& resolveProperties(F&& mutator) {
    std::lock_guard lock(ResolverRecursiveLock::shared());
    if constexpr (std::is_invocable_v<F&, Resolver&, Service&, const ResolverArgs&>) {
      mutatorWithArgumentsN_ = std::forward<F>(mutator);
    } else {
      static_assert(std::is_invocable_v<F&, Resolver&, Service&>,
                    "resolveProperties takes void(Resolver&, Service&) or "
                    "void(Resolver&, Service&, const Resolver::Args&)");
      mutator_ = std::forward<F>(mutator);
    }
    return *this;
  }

  // Registers, in the container that made this registration (when it still exists), a further
  // registration for `Other` (and `name`) that resolves this registration's service type from
  // the resolving container and hands it out as `Other` (nothing when it is not one). The
  // further registration takes the arguments form and the current default scope.
  template <typename Other>
  ResolverOptions& implements(std::optional<ResolverName> name = std::nullopt);

  // Calls the mutators on a newly made service.
  void applyMutators(Service& service, Resolver& resolver, const std::any& args) const {
    if (mutator_) mutator_(resolver, service);
    if (mutatorWithArgumentsN_) mutatorWithArgumentsN_(resolver, service, ResolverArgs(args));
  }

 protected:
  ResolverOptions(std::weak_ptr<Resolver> resolver, const std::string* name,
                  std::shared_ptr<ResolverScope> scope, bool holdsValues)
      : AnyResolverRegistration(std::move(resolver), resolverTypeKey<Service>(),
                                resolverTypeKey<Service>(), name, std::move(scope),
                                holdsValues ? copyOf() : nullptr) {}

 private:
  static CopyValue copyOf() {
    if constexpr (std::is_copy_constructible_v<Service> && !std::is_abstract_v<Service>) {
      return [](const std::shared_ptr<void>& kept) -> std::shared_ptr<void> {
        return std::make_shared<Service>(*static_cast<const Service*>(kept.get()));
      };
    } else {
      return nullptr;
    }
  }

  Mutator mutator_;                        // guarded by ResolverRecursiveLock::shared()
  MutatorWithArgs mutatorWithArgumentsN_;  // guarded by ResolverRecursiveLock::shared()
};

}  // namespace lumo
