#pragma once

#include <any>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <utility>

#include "lumo/registry/AnyResolverRegistration.h"
#include "lumo/registry/ResolverArgs.h"
#include "lumo/registry/ResolverRecursiveLock.h"
#include "lumo/registry/ResolverScope.h"

namespace lumo {

// A registration of a service type: the keys, the options and a factory. The three concrete
// kinds differ by what their factory takes. Containers create them through `registerService`
// and keep them by `std::shared_ptr`; hosts reach them through a `ResolverOptions<Service>`
// handle. Every option is read and written under the container's lock.
template <typename Service>
class ResolverRegistration : public AnyResolverRegistration {
 public:
  using Mutator = std::function<void(Resolver&, Service&)>;
  using MutatorWithArgs = std::function<void(Resolver&, Service&, const ResolverArgs&)>;

  // Makes a new service: the factory, then (for a service) the mutators. Empty when the factory
  // gives nothing.
  virtual std::shared_ptr<Service> resolve(Resolver& resolver, const std::any& args) = 0;

  std::shared_ptr<void> resolveAny(Resolver& resolver, const std::any& args) final {
    return resolve(resolver, args);
  }

  // The container that made the registration, while it exists.
  std::shared_ptr<Resolver> owner() const { return resolver_.lock(); }

  // The check misses the move below when it sits in a class template.
  // NOLINTNEXTLINE(performance-unnecessary-value-param)
  void setScope(std::shared_ptr<ResolverScope> scope) {
    std::lock_guard lock(ResolverRecursiveLock::shared());
    scope_ = std::move(scope);
  }
  std::shared_ptr<ResolverScope> scope() const {
    std::lock_guard lock(ResolverRecursiveLock::shared());
    return scope_;
  }

  // Sets the mutator of the form `F` takes, replacing an earlier one of the same form.
  template <typename F>
  void setMutator(F&& mutator) {
    std::lock_guard lock(ResolverRecursiveLock::shared());
    if constexpr (std::is_invocable_v<F&, Resolver&, Service&, const ResolverArgs&>) {
      mutatorWithArgumentsN_ = std::forward<F>(mutator);
    } else {
      static_assert(std::is_invocable_v<F&, Resolver&, Service&>,
                    "resolveProperties takes void(Resolver&, Service&) or "
                    "void(Resolver&, Service&, const Resolver::Args&)");
      mutator_ = std::forward<F>(mutator);
    }
  }

 protected:
  ResolverRegistration(std::weak_ptr<Resolver> resolver, const std::string* name,
                       std::shared_ptr<ResolverScope> scope, bool holdsValues)
      : AnyResolverRegistration(std::move(resolver), resolverTypeKey<Service>(),
                                resolverTypeKey<Service>(), name, std::move(scope),
                                holdsValues ? copyOf() : nullptr) {}

  std::shared_ptr<Service> finish(std::shared_ptr<Service> service, Resolver& resolver,
                                  const std::any& args) {
    if (!service) return service;
    if (mutator_) mutator_(resolver, *service);
    if (mutatorWithArgumentsN_) mutatorWithArgumentsN_(resolver, *service, ResolverArgs(args));
    return service;
  }

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

// A registration whose factory takes nothing.
template <typename Service>
class ResolverRegistrationOnly final : public ResolverRegistration<Service> {
 public:
  using Factory = std::function<std::shared_ptr<Service>()>;

  ResolverRegistrationOnly(std::weak_ptr<Resolver> resolver, const std::string* name,
                           std::shared_ptr<ResolverScope> scope, bool holdsValues, Factory factory)
      : ResolverRegistration<Service>(std::move(resolver), name, std::move(scope), holdsValues),
        factory_(std::move(factory)) {}

  std::shared_ptr<Service> resolve(Resolver& resolver, const std::any& args) override {
    return this->finish(factory_(), resolver, args);
  }

 private:
  const Factory factory_;
};

// A registration whose factory takes the resolving container.
template <typename Service>
class ResolverRegistrationResolver final : public ResolverRegistration<Service> {
 public:
  using Factory = std::function<std::shared_ptr<Service>(Resolver&)>;

  ResolverRegistrationResolver(std::weak_ptr<Resolver> resolver, const std::string* name,
                               std::shared_ptr<ResolverScope> scope, bool holdsValues,
                               Factory factory)
      : ResolverRegistration<Service>(std::move(resolver), name, std::move(scope), holdsValues),
        factory_(std::move(factory)) {}

  std::shared_ptr<Service> resolve(Resolver& resolver, const std::any& args) override {
    return this->finish(factory_(resolver), resolver, args);
  }

 private:
  const Factory factory_;
};

// A registration whose factory takes the resolving container and the resolution's arguments.
template <typename Service>
class ResolverRegistrationArgumentsN final : public ResolverRegistration<Service> {
 public:
  using Factory = std::function<std::shared_ptr<Service>(Resolver&, const ResolverArgs&)>;

  ResolverRegistrationArgumentsN(std::weak_ptr<Resolver> resolver, const std::string* name,
                                 std::shared_ptr<ResolverScope> scope, bool holdsValues,
                                 Factory factory)
      : ResolverRegistration<Service>(std::move(resolver), name, std::move(scope), holdsValues),
        factory_(std::move(factory)) {}

  std::shared_ptr<Service> resolve(Resolver& resolver, const std::any& args) override {
    return this->finish(factory_(resolver, ResolverArgs(args)), resolver, args);
  }

 private:
  const Factory factory_;
};

}  // namespace lumo
