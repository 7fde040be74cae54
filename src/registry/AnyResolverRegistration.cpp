#include "lumo/registry/AnyResolverRegistration.h"

#include <mutex>
#include <typeindex>
#include <unordered_map>

namespace lumo::resolver_detail {

ResolverTypeKey typeKeyOf(const std::type_info& type) {
  // std::type_index compares as the runtime does across modules: by mangled name, except for
  // types local to one translation unit, which stay distinct. Never destroyed, so that a key
  // can still be asked for while the process exits.
  static auto* const mutex = new std::mutex;
  static auto* const keys = new std::unordered_map<std::type_index, ResolverTypeKey>;
  std::lock_guard lock(*mutex);
  return keys->try_emplace(std::type_index(type), keys->size() + 1).first->second;
}

}  // namespace lumo::resolver_detail
