#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <unordered_set>

#include "lumo/Export.h"
#include "lumo/sharing/ShareState.h"

namespace lumo {

// The recorded state of one capture: its id (the capture's `relativeScreenCapturePath`) and its
// state. Written to the states file as {"id": ..., "state": <raw value>}.
//
// Equality and hashing look at `id` alone, so a `ShareStateModel::Set` holds at most one model
// per capture:
//
//   ShareStateModel::Set states;
//   states.insert({"/a.png", ShareState::uploading});
//   states.contains({"/a.png", ShareState::unknown});   // true: same capture
struct LUMO_API ShareStateModel {
  struct Hash {
    // Not noexcept: libstdc++ then keeps each id's hash in its node instead of hashing the ids
    // again while it walks a bucket, which made hashing a third of loading a large states file.
    std::size_t operator()(const ShareStateModel& model) const {
      return std::hash<std::string>{}(model.id);
    }
  };
  using Set = std::unordered_set<ShareStateModel, Hash>;

  std::string id;
  ShareState state = ShareState::unknown;

  friend bool operator==(const ShareStateModel& a, const ShareStateModel& b) {
    return a.id == b.id;
  }
};

}  // namespace lumo
