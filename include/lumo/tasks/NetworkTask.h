#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "lumo/Export.h"
#include "lumo/platform/Operation.h"
#include "lumo/registry/Injected.h"
#include "lumo/support/LogService.h"
#include "lumo/support/SpinLock.h"

namespace lumo {

// The base of every transfer the library runs: an asynchronous `Operation` whose executing and
// finished flags belong to the task, so that it stays executing after `start()` returns, for as
// long as its requests run, and says itself when it has finished.
//
//   class DeleteTask : public NetworkTask {
//    public:
//     void start() override {
//       NetworkTask::start();                     // ready -> executing
//       sendRequest([self = shared_from_this(), this] {
//         setExecuting(false);                    // always before finished
//         setFinished(true);                      // the queue lets go of the task
//       });
//     }
//   };
//
// Every write of the executing flag is announced to observers of "isExecuting" (a will-change
// and a did-change call), also when the value does not change. A write of the finished flag
// that does not change it is not announced; when two threads write the same new value at
// once, one of them announces it. The announcements come on the writing thread, with no lock
// of the task held, so observers may read the flags.
//
// The log service is resolved from the container when the task is constructed, so a
// `LogService` must be registered first.
class LUMO_API NetworkTask : public Operation {
 public:
  NetworkTask();

  // A fresh upper-case UUID (36 characters), different for every task.
  const std::string& id() const { return id_; }

  // The injected log service; the subclasses write their debug lines to it.
  const std::shared_ptr<LogService>& logService() const { return _logService.wrappedValue(); }
  void setLogService(std::shared_ptr<LogService> service) {
    _logService.setWrappedValue(std::move(service));
  }
  // The injection field itself.
  Injected<LogService>& projectedLogService() { return _logService; }

  bool isExecuting() const override;
  bool isFinished() const override;
  // Always true.
  bool isAsynchronous() const override { return true; }

  // Marks a ready task executing, and does nothing else. On a task that is executing or
  // finished it only writes a debug line. Subclasses call it first from their own `start()`.
  void start() override;

  // The two state flags, written by the subclasses (executing false before finished true).
  void setExecuting(bool executing) override;
  void setFinished(bool finished) override;

 private:
  Injected<LogService> _logService;
  const std::string id_;
  mutable SpinLock isExecutingLock_;
  mutable SpinLock isFinishedLock_;
  bool isExecuting_ = false;  // guarded by isExecutingLock_
  bool isFinished_ = false;   // guarded by isFinishedLock_
  // The value the finished flag is being set to: tested and replaced in one step, so that a
  // write that changes nothing is recognised without the lock and without a data race.
  std::atomic<bool> finishedTarget_{false};
};

}  // namespace lumo
