#pragma once

#include <memory>

#include "lumo/Export.h"
#include "lumo/registry/Resolver.h"

namespace lumo {

// For classes that resolve through a container of their choosing: `resolver()` is
// `Resolver::root()` unless the class says otherwise.
class LUMO_API Resolving {
 public:
  virtual ~Resolving() = default;
  virtual std::shared_ptr<Resolver> resolver() const { return Resolver::root(); }
};

}  // namespace lumo
