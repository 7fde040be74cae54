#pragma once

#include <cstddef>
#include <functional>
#include <memory>

#include "lumo/Export.h"
#include "lumo/tasks/UploadTask.h"

namespace lumo {

// An upload in flight as the share service follows it: the task and its latest progress
// (0 to 1). Two entries are equal when they hold the same task object, whatever their
// progress, so a set keeps one entry per task and a new entry for the task replaces the old.
//
//   std::unordered_set<CurrentTask> tasks;
//   tasks.insert(CurrentTask{task, 0.0});
//   tasks.erase(CurrentTask{task});          // finds it by the task alone
struct LUMO_API CurrentTask {
  std::shared_ptr<UploadTask> task;
  double progress = 0;

  friend bool operator==(const CurrentTask& a, const CurrentTask& b) { return a.task == b.task; }
};

}  // namespace lumo

template <>
struct std::hash<lumo::CurrentTask> {
  std::size_t operator()(const lumo::CurrentTask& entry) const noexcept {
    return std::hash<std::shared_ptr<lumo::UploadTask>>()(entry.task);
  }
};
