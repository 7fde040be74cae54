#pragma once

#include <optional>
#include <string>
#include <utility>

#include "lumo/Export.h"

namespace lumo {

// The name that tells apart two registrations of the same service type. Reached as
// `Resolver::Name`.
//
//   resolver->registerService<APISettingsService>("staging", [] { ... });
//   auto settings = resolver->resolve<APISettingsService>("staging");
//
// A string literal converts implicitly; a run-time string goes through `name(fromString)`, so
// that an absent string stays an absent name.
struct LUMO_API ResolverName {
  std::string rawValue;

  ResolverName(const char* literal) : rawValue(literal) {}  // NOLINT: literals read as names
  explicit ResolverName(std::string raw) : rawValue(std::move(raw)) {}

  // An absent string gives an absent name.
  static std::optional<ResolverName> name(std::optional<std::string> fromString) {
    if (!fromString) return std::nullopt;
    return ResolverName(std::move(*fromString));
  }

  friend bool operator==(const ResolverName&, const ResolverName&) = default;
};

}  // namespace lumo
