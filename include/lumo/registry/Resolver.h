#pragma once

#include <any>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>

#include "lumo/Export.h"
#include "lumo/registry/AnyResolverRegistration.h"
#include "lumo/registry/ResolverArgs.h"
#include "lumo/registry/ResolverName.h"
#include "lumo/registry/ResolverOptions.h"
#include "lumo/registry/ResolverRecursiveLock.h"
#include "lumo/registry/ResolverRegistering.h"
#include "lumo/registry/ResolverRegistration.h"
#include "lumo/registry/ResolverScope.h"
#include "lumo/support/TypeName.h"

namespace lumo {

namespace resolver_detail {

// What a factory's result says about the service: a pointer (shared_ptr or unique_ptr) is an
// object; anything else, std::optional<V> included, is a value made anew on every request.
template <typename R>
struct FactoryResult {
  using Service = R;
  static constexpr bool isObject = false;
  static constexpr bool isOptional = false;
};
template <typename X>
struct FactoryResult<std::shared_ptr<X>> {
  using Service = X;
  static constexpr bool isObject = true;
  static constexpr bool isOptional = false;
};
template <typename X, typename D>
struct FactoryResult<std::unique_ptr<X, D>> {
  using Service = X;
  static constexpr bool isObject = true;
  static constexpr bool isOptional = false;
};
template <typename X>
struct FactoryResult<std::optional<X>> {
  using Service = X;
  static constexpr bool isObject = false;
  static constexpr bool isOptional = true;
};

enum class FactoryShape { plain, resolver, arguments };

template <typename F>
constexpr FactoryShape factoryShape() {
  if constexpr (std::is_invocable_v<F&, Resolver&, const ResolverArgs&>) {
    return FactoryShape::arguments;
  } else if constexpr (std::is_invocable_v<F&, Resolver&>) {
    return FactoryShape::resolver;
  } else {
    static_assert(std::is_invocable_v<F&>,
                  "a factory takes (), (Resolver&) or (Resolver&, const Resolver::Args&)");
    return FactoryShape::plain;
  }
}

template <typename F, FactoryShape shape>
struct RawResult {
  using type = std::invoke_result_t<F&>;
};
template <typename F>
struct RawResult<F, FactoryShape::resolver> {
  using type = std::invoke_result_t<F&, Resolver&>;
};
template <typename F>
struct RawResult<F, FactoryShape::arguments> {
  using type = std::invoke_result_t<F&, Resolver&, const ResolverArgs&>;
};

template <typename F>
struct FactoryTraits {
  static constexpr FactoryShape shape = factoryShape<F>();
  using Result = FactoryResult<std::decay_t<typename RawResult<F, shape>::type>>;
};

// The service type a registration is made for: the one asked for explicitly, or the factory's.
template <typename Asked, typename F>
using ServiceOf =
    std::conditional_t<std::is_void_v<Asked>,
                       typename FactoryTraits<std::decay_t<F>>::Result::Service, Asked>;

template <typename Service, typename R>
std::shared_ptr<Service> toService(R&& made) {
  using Result = FactoryResult<std::decay_t<R>>;
  if constexpr (Result::isObject) {
    return std::shared_ptr<Service>(std::forward<R>(made));
  } else if constexpr (Result::isOptional) {
    if (!made) return nullptr;
    return std::make_shared<Service>(std::move(*made));
  } else {
    return std::make_shared<Service>(std::forward<R>(made));
  }
}

// Hands out `service` as `To`: nothing when it is not one.
template <typename To, typename From>
std::shared_ptr<To> castService(std::shared_ptr<From> service) {
  if constexpr (std::is_convertible_v<From*, To*>) {
    return service;
  } else if constexpr (std::is_polymorphic_v<From> && std::is_polymorphic_v<To>) {
    return std::dynamic_pointer_cast<To>(std::move(service));
  } else {
    return nullptr;
  }
}

template <typename T>
std::string typeNameOf();

}  // namespace resolver_detail

// The service container.
//
// A service is registered under the type it is asked for (as a rule an interface such as
// `LogService`) and optionally a `Name`; asking for it looks the registration up in the
// container, then in its ancestors, and lets the registration's scope return a kept instance or
// call the factory. Services are handed out as `std::shared_ptr<Service>`.
//
//   auto resolver = std::make_shared<Resolver>();
//   resolver->registerService<LogService>([] { return std::make_shared<Log>(); })
//       .scope(Resolver::application());
//   std::shared_ptr<LogService> log = resolver->resolve<LogService>();
//
// Factories take (), (Resolver&) or (Resolver&, const Resolver::Args&). A factory returning a
// `std::shared_ptr` (or `std::unique_ptr`) registers an object; one returning the service by
// value (or as `std::optional`) registers a value, which is never shared: each request gets its
// own copy. An empty pointer or `std::nullopt` means "nothing".
//
// The process-wide forms work on the containers `main()` (registration) and `root()`
// (resolution, and every injection wrapper): `registerInMain`, `resolveFromRoot`,
// `optionalFromRoot`. The host installs its one-time registration hook with `setRegistering`.
//
// Containers are always held by `std::shared_ptr` (`std::make_shared<Resolver>(parent)`).
// Every registration and resolution, on any container, is serialised by one process-wide
// recursive lock, held across factory calls, so factories may resolve and register.
class LUMO_API Resolver : public std::enable_shared_from_this<Resolver> {
 public:
  using Name = ResolverName;
  using Args = ResolverArgs;
  using TypeKey = ResolverTypeKey;

  // The name key of a registration without a name.
  static constexpr const char* NONAME = "*";

  // A new empty container that asks `parent` for what it lacks.
  explicit Resolver(std::shared_ptr<Resolver> parent = nullptr);
  Resolver(const Resolver&) = delete;
  Resolver& operator=(const Resolver&) = delete;
  ~Resolver();

  const std::shared_ptr<Resolver>& parent() const { return parent_; }

  // ---- registration ----

  // Registers `factory` for `Service` (by default the factory's result type) without a name, or
  // under `name`, replacing an earlier registration under the same type and name. The new
  // registration starts in `defaultScope()`. The returned handle keeps the registration alive
  // (see ResolverOptions).
  template <typename Service = void, typename F>
  ResolverOptions<resolver_detail::ServiceOf<Service, F>> registerService(F&& factory) {
    return registerService<Service>(std::nullopt, std::forward<F>(factory));
  }
  template <typename Service = void, typename F>
  ResolverOptions<resolver_detail::ServiceOf<Service, F>> registerService(
      const std::optional<Name>& name, F&& factory);

  // The same on `main()`.
  template <typename Service = void, typename F>
  static ResolverOptions<resolver_detail::ServiceOf<Service, F>> registerInMain(F&& factory) {
    return registerInMain<Service>(std::nullopt, std::forward<F>(factory));
  }
  template <typename Service = void, typename F>
  static ResolverOptions<resolver_detail::ServiceOf<Service, F>> registerInMain(
      const std::optional<Name>& name, F&& factory) {
    return main()->registerService<Service>(name, std::forward<F>(factory));
  }

  // ---- resolution ----

  // The service, or the process stops with
  // "RESOLVER: '<type>:<name or NONAME>' not resolved. To disambiguate optionals use
  // resolver.optional()." `args` may be any value (see `Resolver::Args`).
  template <typename Service>
  std::shared_ptr<Service> resolve(const std::optional<Name>& name = std::nullopt,
                                   const std::any& args = {}) {
    return std::static_pointer_cast<Service>(
        resolveAny(resolverTypeKey<Service>(), &resolver_detail::typeNameOf<Service>, name, args,
                   /*required=*/true));
  }
  // The service, or empty where `resolve` would stop.
  template <typename Service>
  std::shared_ptr<Service> optional(const std::optional<Name>& name = std::nullopt,
                                    const std::any& args = {}) {
    return std::static_pointer_cast<Service>(
        resolveAny(resolverTypeKey<Service>(), &resolver_detail::typeNameOf<Service>, name, args,
                   /*required=*/false));
  }

  // The same on `root()`.
  template <typename Service>
  static std::shared_ptr<Service> resolveFromRoot(const std::optional<Name>& name = std::nullopt,
                                                  const std::any& args = {}) {
    return std::static_pointer_cast<Service>(resolveAnyFromRoot(
        resolverTypeKey<Service>(), &resolver_detail::typeNameOf<Service>, name, args, true));
  }
  template <typename Service>
  static std::shared_ptr<Service> optionalFromRoot(const std::optional<Name>& name = std::nullopt,
                                                   const std::any& args = {}) {
    return std::static_pointer_cast<Service>(resolveAnyFromRoot(
        resolverTypeKey<Service>(), &resolver_detail::typeNameOf<Service>, name, args, false));
  }

  // Runs the one-time registration check now (resolution runs it by itself).
  void registerServices();

  // ---- process-wide values ----
  // Created on first use. Replacing them is meant for start-up, before concurrent use; each
  // read and write takes the container's lock.

  // Target of `registerInMain`.
  static std::shared_ptr<Resolver> main();
  static void setMain(std::shared_ptr<Resolver> resolver);
  // Source of `resolveFromRoot`, `optionalFromRoot` and the injection wrappers; `main()` at
  // first use. A host may put a child container of `main()` here.
  static std::shared_ptr<Resolver> root();
  static void setRoot(std::shared_ptr<Resolver> resolver);
  // The scope new registrations start with; `graph()` at first.
  static std::shared_ptr<ResolverScope> defaultScope();
  static void setDefaultScope(std::shared_ptr<ResolverScope> scope);
  // Installs the host's one-time registration hook, run under the lock at the first
  // resolution, and again at the first resolution after `reset()`.
  static void setRegistering(std::shared_ptr<ResolverRegistering> registering);
  // An operation running the one-time registration check, offered to hosts that want to run it
  // early. Resolution does not call it, so replacing or clearing it changes nothing there.
  static std::function<void()> registerServicesOperation();
  static void setRegisterServicesOperation(std::function<void()> operation);

  // A new empty `main()` that is also `root()`; empties the `application`, `cached` and
  // `shared` scopes; the registration hook runs again at the next resolution.
  static void reset();

  // The scopes (see ResolverScope).
  static const std::shared_ptr<ResolverScopeCache>& application() {
    return ResolverScope::application();
  }
  static const std::shared_ptr<ResolverScopeCache>& cached() { return ResolverScope::cached(); }
  static const std::shared_ptr<ResolverScopeGraph>& graph() { return ResolverScope::graph(); }
  static const std::shared_ptr<ResolverScopeShare>& shared() { return ResolverScope::shared(); }
  static const std::shared_ptr<ResolverScopeUnique>& unique() { return ResolverScope::unique(); }

 private:
  using TypeNameFn = std::string (*)();

  // The registrations of one type key.
  struct TypeRegistrations {
    std::shared_ptr<AnyResolverRegistration> unnamed;
    std::unordered_map<std::string, std::shared_ptr<AnyResolverRegistration>> named;
  };

  template <typename Service, typename F>
  std::shared_ptr<ResolverRegistration<Service>> makeRegistration(const std::string* name,
                                                                  F&& factory);

  // The name under which a registration is stored; null for none (or NONAME).
  static const std::string* nameKey(const std::optional<Name>& name);
  // Stores `registration`; the lock is held.
  void store(std::shared_ptr<AnyResolverRegistration> registration, const std::string* name);
  static std::shared_ptr<ResolverScope> defaultScopeLocked();

  std::shared_ptr<void> resolveAny(TypeKey key, TypeNameFn typeName,
                                   const std::optional<Name>& name, const std::any& args,
                                   bool required);
  static std::shared_ptr<void> resolveAnyFromRoot(TypeKey key, TypeNameFn typeName,
                                                  const std::optional<Name>& name,
                                                  const std::any& args, bool required);
  // Looks the registration up and asks its scope; the lock is held.
  std::shared_ptr<void> resolveLocked(TypeKey key, const std::optional<Name>& name,
                                      const std::any& args);
  const std::shared_ptr<AnyResolverRegistration>* lookup(TypeKey key, const std::string* name);

  const std::shared_ptr<Resolver> parent_;
  ResolverRecursiveLock& lock_;
  std::unordered_map<TypeKey, TypeRegistrations> registrations_;  // guarded by lock_
};

// ---- template definitions that need the whole container ----

namespace resolver_detail {
template <typename T>
std::string typeNameOf() {
  return unqualifiedTypeName(typeid(T));
}
}  // namespace resolver_detail

template <typename Service, typename F>
std::shared_ptr<ResolverRegistration<Service>> Resolver::makeRegistration(const std::string* name,
                                                                          F&& factory) {
  using Traits = resolver_detail::FactoryTraits<std::decay_t<F>>;
  constexpr bool holdsValues = !Traits::Result::isObject;
  static_assert(!holdsValues || std::is_copy_constructible_v<Service>,
                "a service registered by value must be copyable");
  auto owner = weak_from_this();
  auto scope = defaultScopeLocked();
  if constexpr (Traits::shape == resolver_detail::FactoryShape::arguments) {
    return std::make_shared<ResolverRegistrationArgumentsN<Service>>(
        std::move(owner), name, std::move(scope), holdsValues,
        [f = std::forward<F>(factory)](Resolver& r, const Args& a) mutable {
          return resolver_detail::toService<Service>(f(r, a));
        });
  } else if constexpr (Traits::shape == resolver_detail::FactoryShape::resolver) {
    return std::make_shared<ResolverRegistrationResolver<Service>>(
        std::move(owner), name, std::move(scope), holdsValues,
        [f = std::forward<F>(factory)](Resolver& r) mutable {
          return resolver_detail::toService<Service>(f(r));
        });
  } else {
    return std::make_shared<ResolverRegistrationOnly<Service>>(
        std::move(owner), name, std::move(scope), holdsValues,
        [f = std::forward<F>(factory)]() mutable {
          return resolver_detail::toService<Service>(f());
        });
  }
}

template <typename Service, typename F>
ResolverOptions<resolver_detail::ServiceOf<Service, F>> Resolver::registerService(
    const std::optional<Name>& name, F&& factory) {
  using S = resolver_detail::ServiceOf<Service, F>;
  std::lock_guard lock(lock_);
  const std::string* key = nameKey(name);
  auto registration = makeRegistration<S>(key, std::forward<F>(factory));
  store(registration, key);
  return ResolverOptions<S>(std::move(registration));
}

template <typename Service>
template <typename Other>
ResolverOptions<Service> ResolverOptions<Service>::implements(
    std::optional<ResolverName> name) const {
  if (auto owner = registration_->owner()) {
    owner->template registerService<Other>(
        name, [](Resolver& resolver, const ResolverArgs&) -> std::shared_ptr<Other> {
          return resolver_detail::castService<Other>(resolver.resolve<Service>());
        });
  }
  return *this;
}

}  // namespace lumo
