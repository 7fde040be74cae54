#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <typeinfo>

#include "lumo/Export.h"

namespace lumo {

class Resolver;
class ResolverScope;

// The integer that identifies a service type in a container: stable for the run of the process
// and distinct per type. The host program and a shared build of the library each hold their own
// copy of a type's inline variables, so the key comes from the type's identity (its
// std::type_info, compared as the C++ runtime compares types across modules) and is the same
// whichever side registers or resolves.
using ResolverTypeKey = std::uintptr_t;

namespace resolver_detail {
// Numbers the types in the order they are first asked for, under a lock; called once per type
// and module.
LUMO_API ResolverTypeKey typeKeyOf(const std::type_info& type);
}  // namespace resolver_detail

template <typename T>
ResolverTypeKey resolverTypeKey() {
  static const ResolverTypeKey key = resolver_detail::typeKeyOf(typeid(std::remove_cv_t<T>));
  return key;
}

// What a scope sees of a registration: its keys and how to make its service, with the service
// type erased (scopes are not templates, so that any scope serves any registration).
//
// Every field is read and written under the container's process-wide lock.
class LUMO_API AnyResolverRegistration {
 public:
  virtual ~AnyResolverRegistration() = default;
  AnyResolverRegistration(const AnyResolverRegistration&) = delete;
  AnyResolverRegistration& operator=(const AnyResolverRegistration&) = delete;

  // The type key under which the registration is stored.
  ResolverTypeKey key() const { return key_; }
  // The decimal type key, then ":" and the name when there is one. Scopes keep instances
  // under this key.
  const std::string& cacheKey() const { return cacheKey_; }
  // std::hash of `cacheKey()`, computed once.
  std::size_t cacheKeyHash() const { return cacheKeyHash_; }
  // The key of the service type this registration hands out; scopes compare it with the key
  // of a kept instance before returning it.
  ResolverTypeKey serviceKey() const { return serviceKey_; }
  // True when the service is a value (its factory returns the service by value): values are
  // never shared, so the graph and share scopes do not keep them and the cache scope hands
  // out copies.
  bool holdsValues() const { return copyValue_ != nullptr; }

  // Makes a new service: the factory, then the mutators. Empty when the factory gave nothing.
  virtual std::shared_ptr<void> resolveAny(Resolver& resolver, const std::any& args) = 0;

  // What the cache scope hands out for a kept service: the service itself, or a fresh copy of
  // a value.
  std::shared_ptr<void> handOut(const std::shared_ptr<void>& kept) const {
    return copyValue_ ? copyValue_(kept) : kept;
  }

  // The scope deciding whether instances are reused.
  const std::shared_ptr<ResolverScope>& currentScope() const { return scope_; }

 protected:
  using CopyValue = std::shared_ptr<void> (*)(const std::shared_ptr<void>&);

  AnyResolverRegistration(std::weak_ptr<Resolver> resolver, ResolverTypeKey key,
                          ResolverTypeKey serviceKey, const std::string* name,
                          std::shared_ptr<ResolverScope> scope, CopyValue copyValue)
      : resolver_(std::move(resolver)),
        key_(key),
        serviceKey_(serviceKey),
        cacheKey_(name ? std::to_string(key) + ":" + *name : std::to_string(key)),
        cacheKeyHash_(std::hash<std::string>{}(cacheKey_)),
        scope_(std::move(scope)),
        copyValue_(copyValue) {}

  std::weak_ptr<Resolver> resolver_;  // the container that made the registration
  const ResolverTypeKey key_;
  const ResolverTypeKey serviceKey_;
  const std::string cacheKey_;
  const std::size_t cacheKeyHash_;
  std::shared_ptr<ResolverScope> scope_;  // guarded by ResolverRecursiveLock::shared()
  const CopyValue copyValue_;
};

}  // namespace lumo
