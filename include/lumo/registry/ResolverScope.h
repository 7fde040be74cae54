#pragma once

#include <any>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "lumo/Export.h"
#include "lumo/registry/AnyResolverRegistration.h"

namespace lumo {

class Resolver;
class ResolverScopeCache;
class ResolverScopeGraph;
class ResolverScopeShare;
class ResolverScopeUnique;

// Decides, for one registration, whether a resolution returns a kept instance or makes a new
// one through the registration's factory.
//
// Scopes are only called from inside a container's resolution, which holds the process-wide
// recursive lock: that lock guards every scope's state. `resolver` is the container on which
// resolution was asked (also when the registration was found in an ancestor).
class LUMO_API ResolverScopeType {
 public:
  virtual ~ResolverScopeType() = default;
  virtual std::shared_ptr<void> resolve(Resolver& resolver, AnyResolverRegistration& registration,
                                        const std::any& args) = 0;
};

// The base of all scopes and the home of the five process-wide scope objects:
//
//   registry->registerService<LogService>([] { return std::make_shared<Log>(); })
//       .scope(ResolverScope::application());
//
// (also reachable as `Resolver::application()` and so on). Each object is created on first use
// and lives for the whole process.
class LUMO_API ResolverScope : public ResolverScopeType {
 public:
  // One instance per registration for the whole application, until `Resolver::reset()`.
  static const std::shared_ptr<ResolverScopeCache>& application();
  // A second cache, separate from `application()`.
  static const std::shared_ptr<ResolverScopeCache>& cached();
  // Shares class instances within one outermost resolution; the initial default scope.
  static const std::shared_ptr<ResolverScopeGraph>& graph();
  // Keeps class instances weakly: shared while somebody else holds them.
  static const std::shared_ptr<ResolverScopeShare>& shared();
  // Always new.
  static const std::shared_ptr<ResolverScopeUnique>& unique();

  // Abstract here: a scope that does not override it stops the process.
  std::shared_ptr<void> resolve(Resolver& resolver, AnyResolverRegistration& registration,
                                const std::any& args) override;
};

// A kept service and the type it was kept as.
struct LUMO_API ResolverKeptService {
  ResolverTypeKey serviceKey = 0;
  std::shared_ptr<void> service;
};

// Scope maps are keyed by cacheKey; lookups reuse the hash each registration computed once.
struct LUMO_API ResolverCacheKeyHash {
  using is_transparent = void;
  std::size_t operator()(const std::string& key) const { return std::hash<std::string>{}(key); }
  std::size_t operator()(const AnyResolverRegistration* r) const { return r->cacheKeyHash(); }
};
struct LUMO_API ResolverCacheKeyEqual {
  using is_transparent = void;
  bool operator()(const std::string& a, const std::string& b) const { return a == b; }
  bool operator()(const std::string& a, const AnyResolverRegistration* b) const {
    return a == b->cacheKey();
  }
  bool operator()(const AnyResolverRegistration* a, const std::string& b) const {
    return a->cacheKey() == b;
  }
};
template <typename Kept>
using ResolverCacheMap =
    std::unordered_map<std::string, Kept, ResolverCacheKeyHash, ResolverCacheKeyEqual>;

// A weak reference to a kept service, as the share scope holds them.
struct LUMO_API BoxWeak {
  ResolverTypeKey serviceKey = 0;
  std::weak_ptr<void> service;
};

// Keeps every service it makes, strongly, until `reset()`.
class LUMO_API ResolverScopeCache : public ResolverScope {
 public:
  ResolverScopeCache();
  std::shared_ptr<void> resolve(Resolver& resolver, AnyResolverRegistration& registration,
                                const std::any& args) override;
  // Drops every kept service. Takes no lock: call it where no resolution runs, or through
  // `Resolver::reset()`, which holds the container's lock.
  void reset();

 private:
  ResolverCacheMap<ResolverKeptService> cachedServices_;  // guarded by the lock
};

// Shares class instances within one outermost resolution: nested requests for the same
// registration get the same object; the outermost service and values are made anew.
class LUMO_API ResolverScopeGraph : public ResolverScope {
 public:
  ResolverScopeGraph();
  std::shared_ptr<void> resolve(Resolver& resolver, AnyResolverRegistration& registration,
                                const std::any& args) override;

 private:
  // One outermost resolution shares a handful of services: a flat list searched by the
  // cacheKey's hash beats a hash map that allocates a node per entry.
  struct GraphEntry {
    std::size_t hash;
    std::string cacheKey;
    ResolverKeptService kept;
  };
  class Level;

  GraphEntry* find(const AnyResolverRegistration& registration);
  // Releases what the outermost resolution shared.
  void finishResolution();

  std::vector<GraphEntry> graph_;     // guarded by the lock
  std::vector<GraphEntry> spare_;     // guarded by the lock: emptied storage kept for reuse
  std::int64_t resolutionDepth_ = 0;  // guarded by the lock
};

// Keeps class instances weakly: while somebody holds the instance, resolution returns it.
class LUMO_API ResolverScopeShare : public ResolverScope {
 public:
  ResolverScopeShare();
  std::shared_ptr<void> resolve(Resolver& resolver, AnyResolverRegistration& registration,
                                const std::any& args) override;
  // Drops every box. Takes no lock, as `ResolverScopeCache::reset()`.
  void reset();

 private:
  ResolverCacheMap<BoxWeak> cachedServices_;  // guarded by the lock
};

// Makes a new service on every resolution.
class LUMO_API ResolverScopeUnique : public ResolverScope {
 public:
  std::shared_ptr<void> resolve(Resolver& resolver, AnyResolverRegistration& registration,
                                const std::any& args) override;
};

}  // namespace lumo
