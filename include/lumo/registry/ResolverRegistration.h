#pragma once

#include <any>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "lumo/registry/ResolverOptions.h"

namespace lumo {

// A registration of a service type: the keys, the options and a factory. The three concrete
// kinds differ by what their factory takes. Containers create them through `registerService`;
// hosts meet them only as `ResolverOptions<Service>&`.
template <typename Service>
class ResolverRegistration : public ResolverOptions<Service> {
 public:
  // Makes a new service: the factory, then (for a service) the mutators. Empty when the factory
  // gives nothing.
  virtual std::shared_ptr<Service> resolve(Resolver& resolver, const std::any& args) = 0;

  std::shared_ptr<void> resolveAny(Resolver& resolver, const std::any& args) final {
    return resolve(resolver, args);
  }

 protected:
  using ResolverOptions<Service>::ResolverOptions;

  std::shared_ptr<Service> finish(std::shared_ptr<Service> service, Resolver& resolver,
                                  const std::any& args) {
    if (service) this->applyMutators(*service, resolver, args);
    return service;
  }
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
