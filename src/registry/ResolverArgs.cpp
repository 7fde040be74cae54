#include "lumo/registry/ResolverArgs.h"

#include "lumo/support/Fatal.h"
#include "lumo/support/TypeName.h"

namespace lumo {

ResolverArgs::ResolverArgs(const std::any& value) {
  if (const auto* args = std::any_cast<ResolverArgs>(&value)) {
    args_ = args->args_;
  } else if (const auto* map = std::any_cast<Map>(&value)) {
    args_ = *map;
  } else {
    args_.emplace(std::string(), value);
  }
}

void ResolverArgs::missing(const std::type_info& type, const std::string* key,
                           const std::any* slot) {
  const std::string where = key ? "key '" + *key + "'" : std::string("the first entry");
  const std::string asked = unqualifiedTypeName(type);
  if (slot == nullptr) {
    stopProcess("RESOLVER: Args has no value for " + where + " (asked as " + asked + ").");
  }
  if (!slot->has_value()) {
    stopProcess("RESOLVER: Args holds nil for " + where + " (asked as " + asked + ").");
  }
  stopProcess("RESOLVER: Args value for " + where + " has type " +
              unqualifiedTypeName(slot->type()) + ", not " + asked + ".");
}

}  // namespace lumo
