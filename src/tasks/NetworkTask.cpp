#include "lumo/tasks/NetworkTask.h"

#include <cerrno>
#include <cstdint>
#include <mutex>

#include "lumo/platform/UUID.h"

namespace lumo {

NetworkTask::NetworkTask() : id_(makeUUIDString()) {}

bool NetworkTask::isExecuting() const {
  std::lock_guard lock(isExecutingLock_);
  return isExecuting_;
}

bool NetworkTask::isFinished() const {
  std::lock_guard lock(isFinishedLock_);
  return isFinished_;
}

void NetworkTask::setExecuting(bool executing) {
  willChangeValue("isExecuting");
  {
    std::lock_guard lock(isExecutingLock_);
    isExecuting_ = executing;
  }
  didChangeValue("isExecuting");
}

void NetworkTask::setFinished(bool finished) {
  if (finishedTarget_.exchange(finished, std::memory_order_acq_rel) == finished) return;
  willChangeValue("isFinished");
  {
    std::lock_guard lock(isFinishedLock_);
    isFinished_ = finished;
  }
  didChangeValue("isFinished");
}

void NetworkTask::start() {
  if (isExecuting()) {
    _logService->debug("Can't start the task that is already being executing.");
    return;
  }
  if (isFinished()) {
    _logService->debug("Can't start the task that has already finished.");
    return;
  }
  setExecuting(true);
}

}  // namespace lumo
