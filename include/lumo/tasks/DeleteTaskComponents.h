#pragma once

#include <string>

namespace lumo {

// The file a delete removes from the service: its remote name (the last path component of its
// public URL), sent as "key".
struct DeleteTaskComponents {
  std::string remoteName;

  friend bool operator==(const DeleteTaskComponents&, const DeleteTaskComponents&) = default;
};

}  // namespace lumo
