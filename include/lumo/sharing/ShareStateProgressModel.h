#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <unordered_set>
#include <utility>

#include "lumo/Export.h"
#include "lumo/sharing/ProgressModel.h"

namespace lumo {

// The progress of the upload of one capture, keyed like `ShareStateModel` by the capture's id.
// Equality and hashing look at `id` alone, so a `ShareStateProgressModel::Set` holds at most
// one entry per capture. Progress lives in memory only.
//
//   auto entry = ShareStateProgressModel::emptyShareState("/a.png");   // 0 bytes, 0.0
struct LUMO_API ShareStateProgressModel {
  struct Hash {
    std::size_t operator()(const ShareStateProgressModel& model) const noexcept {
      return std::hash<std::string>{}(model.id);
    }
  };
  using Set = std::unordered_set<ShareStateProgressModel, Hash>;

  std::string id;
  ProgressModel progress;

  // A model for `id` with file size 0 and progress 0.
  static ShareStateProgressModel emptyShareState(std::string id) {
    return ShareStateProgressModel{std::move(id), ProgressModel{}};
  }

  friend bool operator==(const ShareStateProgressModel& a, const ShareStateProgressModel& b) {
    return a.id == b.id;
  }
};

}  // namespace lumo
