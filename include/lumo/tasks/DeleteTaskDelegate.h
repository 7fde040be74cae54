#pragma once

#include <memory>

#include "lumo/Export.h"
#include "lumo/support/Error.h"

namespace lumo {

class DeleteTask;

// Follows a delete task: `taskDeleteStarted` on the thread that starts it, then one final
// call, `taskDeleteComplete` or `taskDeleteError`. The share service implements it; a task
// holds its delegate weakly.
class LUMO_API DeleteTaskDelegate {
 public:
  virtual ~DeleteTaskDelegate() = default;

  virtual void taskDeleteStarted(const std::shared_ptr<DeleteTask>& task) = 0;
  virtual void taskDeleteComplete(const std::shared_ptr<DeleteTask>& task) = 0;
  virtual void taskDeleteError(const std::shared_ptr<DeleteTask>& task, const Error& error) = 0;
};

}  // namespace lumo
