#pragma once

#include "lumo/Export.h"

namespace lumo {

// The host's one-time registration hook.
//
//   class AppRegistrations : public lumo::ResolverRegistering {
//    public:
//     void registerAll() override {
//       lumo::Resolver::registerInMain<lumo::LogService>([] { return std::make_shared<lumo::Log>();
//       })
//           .scope(lumo::Resolver::application());
//     }
//   };
//   lumo::Resolver::setRegistering(std::make_shared<AppRegistrations>());
//
// Installed with `Resolver::setRegistering` before the first resolution; the container calls
// `registerAll()` once, under its lock, at the first resolution in the process, and once more at
// the first resolution after `Resolver::reset()`.
class LUMO_API ResolverRegistering {
 public:
  virtual ~ResolverRegistering() = default;
  virtual void registerAll() = 0;
};

}  // namespace lumo
