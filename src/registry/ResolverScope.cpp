#include "lumo/registry/ResolverScope.h"

#include <utility>
#include <vector>

#include "lumo/support/Fatal.h"

namespace lumo {
namespace {

// Room for the services of a typical application without rehashing.
constexpr std::size_t kInitialCapacity = 32;

template <typename Scope>
const std::shared_ptr<Scope>& processScope() {
  // Never destroyed: registrations refer to the scopes until the process ends.
  static auto* scope = new std::shared_ptr<Scope>(std::make_shared<Scope>());
  return *scope;
}

}  // namespace

const std::shared_ptr<ResolverScopeCache>& ResolverScope::application() {
  return processScope<ResolverScopeCache>();
}

const std::shared_ptr<ResolverScopeCache>& ResolverScope::cached() {
  // A second cache object, separate from application().
  static auto* scope =
      new std::shared_ptr<ResolverScopeCache>(std::make_shared<ResolverScopeCache>());
  return *scope;
}

const std::shared_ptr<ResolverScopeGraph>& ResolverScope::graph() {
  return processScope<ResolverScopeGraph>();
}

const std::shared_ptr<ResolverScopeShare>& ResolverScope::shared() {
  return processScope<ResolverScopeShare>();
}

const std::shared_ptr<ResolverScopeUnique>& ResolverScope::unique() {
  return processScope<ResolverScopeUnique>();
}

std::shared_ptr<void> ResolverScope::resolve(Resolver&, AnyResolverRegistration&, const std::any&) {
  stopProcess("abstract");
}

// ---- cache ----

ResolverScopeCache::ResolverScopeCache() {
  cachedServices_.reserve(kInitialCapacity);
}

std::shared_ptr<void> ResolverScopeCache::resolve(Resolver& resolver,
                                                  AnyResolverRegistration& registration,
                                                  const std::any& args) {
  const auto found = cachedServices_.find(&registration);
  if (found != cachedServices_.end() && found->second.serviceKey == registration.serviceKey()) {
    return registration.handOut(found->second.service);
  }
  auto made = registration.resolveAny(resolver, args);
  if (!made) return nullptr;
  // Not through `found`: the factory may have cached other services and rehashed the map.
  cachedServices_.insert_or_assign(registration.cacheKey(),
                                   ResolverKeptService{registration.serviceKey(), made});
  return registration.handOut(made);
}

void ResolverScopeCache::reset() {
  cachedServices_.clear();
}

// ---- graph ----

ResolverScopeGraph::ResolverScopeGraph() {
  graph_.reserve(kInitialCapacity);
  spare_.reserve(kInitialCapacity);
}

ResolverScopeGraph::GraphEntry* ResolverScopeGraph::find(
    const AnyResolverRegistration& registration) {
  for (GraphEntry& entry : graph_) {
    if (entry.hash == registration.cacheKeyHash() && entry.cacheKey == registration.cacheKey()) {
      return &entry;
    }
  }
  return nullptr;
}

// One level of the graph scope's nesting. Leaving the outermost level, by a return or by a
// factory's exception, ends the resolution: what it shared must not reach the next one.
class ResolverScopeGraph::Level {
 public:
  explicit Level(ResolverScopeGraph& scope) : scope_(scope) { ++scope_.resolutionDepth_; }
  ~Level() {
    if (--scope_.resolutionDepth_ == 0) scope_.finishResolution();
  }
  Level(const Level&) = delete;
  Level& operator=(const Level&) = delete;

 private:
  ResolverScopeGraph& scope_;
};

void ResolverScopeGraph::finishResolution() {
  if (graph_.empty()) return;
  // The services are released once the graph is empty again, so that a destructor that
  // resolves finds it in order; the storage goes back to `spare_` for the next resolution.
  std::vector<GraphEntry> finished;
  finished.swap(graph_);
  graph_.swap(spare_);
  finished.clear();
  spare_.swap(finished);
}

std::shared_ptr<void> ResolverScopeGraph::resolve(Resolver& resolver,
                                                  AnyResolverRegistration& registration,
                                                  const std::any& args) {
  if (const GraphEntry* found = find(registration)) {
    if (found->kept.serviceKey == registration.serviceKey()) return found->kept.service;
  }
  const Level level(*this);
  std::shared_ptr<void> made = registration.resolveAny(resolver, args);
  // Nested requests share what this one made; the outermost service is handed out, not kept.
  if (resolutionDepth_ > 1 && made && !registration.holdsValues()) {
    ResolverKeptService kept{registration.serviceKey(), made};
    if (GraphEntry* found = find(registration)) {
      found->kept = std::move(kept);
    } else {
      graph_.push_back(
          GraphEntry{registration.cacheKeyHash(), registration.cacheKey(), std::move(kept)});
    }
  }
  return made;
}

// ---- share ----

ResolverScopeShare::ResolverScopeShare() {
  cachedServices_.reserve(kInitialCapacity);
}

std::shared_ptr<void> ResolverScopeShare::resolve(Resolver& resolver,
                                                  AnyResolverRegistration& registration,
                                                  const std::any& args) {
  const auto found = cachedServices_.find(&registration);
  if (found != cachedServices_.end() && found->second.serviceKey == registration.serviceKey()) {
    if (auto alive = found->second.service.lock()) return alive;
  }
  auto made = registration.resolveAny(resolver, args);
  if (made && !registration.holdsValues()) {
    cachedServices_.insert_or_assign(registration.cacheKey(),
                                     BoxWeak{registration.serviceKey(), made});
  }
  return made;
}

void ResolverScopeShare::reset() {
  cachedServices_.clear();
}

// ---- unique ----

std::shared_ptr<void> ResolverScopeUnique::resolve(Resolver& resolver,
                                                   AnyResolverRegistration& registration,
                                                   const std::any& args) {
  return registration.resolveAny(resolver, args);
}

}  // namespace lumo
