#pragma once

#include "lumo/Export.h"

namespace lumo {

// Host-supplied: facts about the running build. `Log` asks `isDebug()` on every call that is not
// asked to show in release mode; lines are suppressed when it answers false.
class LUMO_API EnvironmentHelperService {
 public:
  virtual ~EnvironmentHelperService() = default;
  // True in a debug build.
  virtual bool isDebug() const = 0;
};

}  // namespace lumo
