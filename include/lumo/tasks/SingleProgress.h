#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "lumo/Export.h"

namespace lumo {

// The last reported progress of one file of a screencast upload. Equality and hashing look at
// the remote name alone, so a set holds one entry per file.
struct LUMO_API SingleProgress {
  double progress = 0;        // fraction 0...1 of the file
  std::int64_t fileSize = 0;  // bytes
  std::string remoteName;

  friend bool operator==(const SingleProgress& a, const SingleProgress& b) {
    return a.remoteName == b.remoteName;
  }
};

}  // namespace lumo

template <>
struct std::hash<lumo::SingleProgress> {
  std::size_t operator()(const lumo::SingleProgress& value) const noexcept {
    return std::hash<std::string>()(value.remoteName);
  }
};
