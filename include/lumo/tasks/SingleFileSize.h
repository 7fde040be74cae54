#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "lumo/Export.h"
#include "lumo/capture/ShareResourceType.h"

namespace lumo {

// The size of one file of a screencast upload, the weight of its progress. Equality and hashing
// look at the remote name alone.
struct LUMO_API SingleFileSize {
  std::int64_t fileSize = 0;  // bytes
  std::string remoteName;
  ShareResourceType type = ShareResourceType::other("");

  friend bool operator==(const SingleFileSize& a, const SingleFileSize& b) {
    return a.remoteName == b.remoteName;
  }
};

}  // namespace lumo

template <>
struct std::hash<lumo::SingleFileSize> {
  std::size_t operator()(const lumo::SingleFileSize& value) const noexcept {
    return std::hash<std::string>()(value.remoteName);
  }
};
