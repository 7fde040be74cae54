#include "lumo/registry/ResolverArgs.h"

#include "lumo/support/Fatal.h"
#include "lumo/support/TypeName.h"

namespace lumo {

ResolverArgs::ResolverArgs(Map map) : args_(stored(std::move(map))) {}

ResolverArgs::ResolverArgs(const std::any& value) {
  if (const auto* args = std::any_cast<ResolverArgs>(&value)) {
    args_ = args->args_;
  } else if (const auto* map = std::any_cast<Map>(&value)) {
    args_ = stored(*map);
  } else {
    args_.emplace(std::string(), stored(value));
  }
}

std::any ResolverArgs::stored(const std::any& value) {
  // A literal arrives erased as a pointer into the caller's text: keep the text instead, so
  // that it outlives the call and reads back as the std::string a factory asks for.
  const char* text = nullptr;
  if (const auto* literal = std::any_cast<const char*>(&value)) {
    text = *literal;
  } else if (const auto* chars = std::any_cast<char*>(&value)) {
    text = *chars;
  } else if (value.type() != typeid(std::nullopt_t) && value.type() != typeid(std::nullptr_t)) {
    return value;
  }
  // std::nullopt, nullptr and a null C string all mean "no value".
  return text ? std::any(std::string(text)) : std::any();
}

ResolverArgs::Map ResolverArgs::stored(Map map) {
  for (auto& entry : map) entry.second = stored(entry.second);
  return map;
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
