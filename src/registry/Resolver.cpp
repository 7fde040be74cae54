#include "lumo/registry/Resolver.h"

#include <mutex>
#include <utility>

#include "lumo/support/Fatal.h"

namespace lumo {
namespace {

// The container type's process-wide values. Created on first use and never destroyed.
struct ProcessValues {
  std::shared_ptr<Resolver> main;                    // guarded by ResolverRecursiveLock
  std::shared_ptr<Resolver> root;                    // guarded by ResolverRecursiveLock
  std::shared_ptr<ResolverScope> defaultScope;       // guarded by ResolverRecursiveLock
  std::function<void()> registerServices;            // guarded by ResolverRecursiveLock
  std::shared_ptr<ResolverRegistering> registering;  // guarded by ResolverRecursiveLock
  bool registrationPending = true;                   // guarded by ResolverRecursiveLock
};

void registrationCheckLocked();

ProcessValues& process() {
  static auto* values = [] {
    auto* v = new ProcessValues();
    v->defaultScope = ResolverScope::graph();
    v->main = std::make_shared<Resolver>();
    v->root = v->main;
    v->registerServices = [] {
      std::lock_guard lock(ResolverRecursiveLock::shared());
      registrationCheckLocked();
    };
    return v;
  }();
  return *values;
}

// Runs the host's hook once. The flag drops before the call, so that resolutions made by the
// hook itself do not run it again.
void registrationCheckLocked() {
  ProcessValues& values = process();
  if (!values.registrationPending) return;
  values.registrationPending = false;
  if (values.registering) {
    auto registering = values.registering;
    registering->registerAll();
  }
}

[[noreturn]] void stopNotResolved(const std::string& typeName,
                                  const std::optional<Resolver::Name>& name) {
  stopProcess("RESOLVER: '" + typeName + ":" + (name ? name->rawValue : std::string("NONAME")) +
              "' not resolved. To disambiguate optionals use resolver.optional().");
}

}  // namespace

Resolver::Resolver(std::shared_ptr<Resolver> parent)
    : parent_(std::move(parent)), lock_(ResolverRecursiveLock::shared()) {}

Resolver::~Resolver() = default;

const std::string* Resolver::nameKey(const std::optional<Name>& name) {
  if (!name || name->rawValue == NONAME) return nullptr;
  return &name->rawValue;
}

void Resolver::store(std::shared_ptr<AnyResolverRegistration> registration,
                     const std::string* name) {
  TypeRegistrations& entry = registrations_[registration->key()];
  if (name) {
    entry.named.insert_or_assign(*name, std::move(registration));
  } else {
    entry.unnamed = std::move(registration);
  }
}

std::shared_ptr<ResolverScope> Resolver::defaultScopeLocked() {
  return process().defaultScope;
}

const std::shared_ptr<AnyResolverRegistration>* Resolver::lookup(TypeKey key,
                                                                 const std::string* name) {
  for (Resolver* container = this; container; container = container->parent_.get()) {
    const auto entry = container->registrations_.find(key);
    if (entry == container->registrations_.end()) continue;
    if (!name) {
      if (entry->second.unnamed) return &entry->second.unnamed;
    } else {
      const auto named = entry->second.named.find(*name);
      if (named != entry->second.named.end()) return &named->second;
    }
  }
  return nullptr;
}

std::shared_ptr<void> Resolver::resolveLocked(TypeKey key, const std::optional<Name>& name,
                                              const std::any& args) {
  const auto* found = lookup(key, nameKey(name));
  if (!found) return nullptr;
  // Held for the whole resolution: the factory may replace its own registration or scope.
  const std::shared_ptr<AnyResolverRegistration> registration = *found;
  if (registration->serviceKey() != key) return nullptr;
  const std::shared_ptr<ResolverScope> scope = registration->currentScope();
  return scope->resolve(*this, *registration, args);
}

std::shared_ptr<void> Resolver::resolveAny(TypeKey key, TypeNameFn typeName,
                                           const std::optional<Name>& name, const std::any& args,
                                           bool required) {
  std::shared_ptr<void> service;
  {
    std::lock_guard lock(lock_);
    registrationCheckLocked();
    service = resolveLocked(key, name, args);
  }
  if (!service && required) stopNotResolved(typeName(), name);
  return service;
}

std::shared_ptr<void> Resolver::resolveAnyFromRoot(TypeKey key, TypeNameFn typeName,
                                                   const std::optional<Name>& name,
                                                   const std::any& args, bool required) {
  std::shared_ptr<void> service;
  {
    std::lock_guard lock(ResolverRecursiveLock::shared());
    registrationCheckLocked();
    // Hold the root: the hook or a factory may replace it during the resolution.
    if (auto root = process().root) service = root->resolveLocked(key, name, args);
  }
  if (!service && required) stopNotResolved(typeName(), name);
  return service;
}

void Resolver::registerServices() {
  std::lock_guard lock(lock_);
  registrationCheckLocked();
}

std::shared_ptr<Resolver> Resolver::main() {
  std::lock_guard lock(ResolverRecursiveLock::shared());
  return process().main;
}

void Resolver::setMain(std::shared_ptr<Resolver> resolver) {
  std::shared_ptr<Resolver> previous;  // released after the lock
  std::lock_guard lock(ResolverRecursiveLock::shared());
  previous = std::exchange(process().main, std::move(resolver));
}

std::shared_ptr<Resolver> Resolver::root() {
  std::lock_guard lock(ResolverRecursiveLock::shared());
  return process().root;
}

void Resolver::setRoot(std::shared_ptr<Resolver> resolver) {
  std::shared_ptr<Resolver> previous;
  std::lock_guard lock(ResolverRecursiveLock::shared());
  previous = std::exchange(process().root, std::move(resolver));
}

std::shared_ptr<ResolverScope> Resolver::defaultScope() {
  std::lock_guard lock(ResolverRecursiveLock::shared());
  return process().defaultScope;
}

void Resolver::setDefaultScope(std::shared_ptr<ResolverScope> scope) {
  std::lock_guard lock(ResolverRecursiveLock::shared());
  process().defaultScope = std::move(scope);
}

void Resolver::setRegistering(std::shared_ptr<ResolverRegistering> registering) {
  std::lock_guard lock(ResolverRecursiveLock::shared());
  process().registering = std::move(registering);
}

std::function<void()> Resolver::registerServicesOperation() {
  std::lock_guard lock(ResolverRecursiveLock::shared());
  return process().registerServices;
}

void Resolver::setRegisterServicesOperation(std::function<void()> operation) {
  std::lock_guard lock(ResolverRecursiveLock::shared());
  process().registerServices = std::move(operation);
}

void Resolver::reset() {
  std::shared_ptr<Resolver> previousMain;  // released after the lock
  std::shared_ptr<Resolver> previousRoot;
  std::lock_guard lock(ResolverRecursiveLock::shared());
  ProcessValues& values = process();
  previousMain = std::exchange(values.main, std::make_shared<Resolver>());
  previousRoot = std::exchange(values.root, values.main);
  ResolverScope::application()->reset();
  ResolverScope::cached()->reset();
  ResolverScope::shared()->reset();
  values.registrationPending = true;
}

}  // namespace lumo
