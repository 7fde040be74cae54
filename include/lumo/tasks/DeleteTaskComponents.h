#pragma once

#include <string>

#include "lumo/Export.h"

namespace lumo {

// The file a delete removes from the service: its remote name (the last path component of its
// public URL), sent as "key".
struct LUMO_API DeleteTaskComponents {
  std::string remoteName;

  friend bool operator==(const DeleteTaskComponents&, const DeleteTaskComponents&) = default;
};

}  // namespace lumo
