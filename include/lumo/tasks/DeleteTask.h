#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

#include "lumo/Export.h"
#include "lumo/api/DeleteUploadResponse.h"
#include "lumo/support/Result.h"
#include "lumo/tasks/DeleteTaskComponents.h"
#include "lumo/tasks/DeleteTaskDelegate.h"
#include "lumo/tasks/NetworkTask.h"

namespace lumo {

// The base of the delete tasks: removes remote files with "upload/delete" and reports the
// task's start. Delete tasks cannot be cancelled: once queued they run to their end and make
// one final delegate call.
//
//   auto task = std::make_shared<DeleteSingleFileTask>(DeleteTaskComponents{"abc.png"});
//   task->setDelegate(shareService);
//   uploadQueue.addOperation(task);
class LUMO_API DeleteTask : public NetworkTask {
 public:
  using Completion = std::function<void(Result<DeleteUploadResponse>)>;

  DeleteTask() = default;

  // The delegate, held weakly; set it before the task is queued.
  std::shared_ptr<DeleteTaskDelegate> delegate() const;
  void setDelegate(std::weak_ptr<DeleteTaskDelegate> delegate);

  // Marks the task executing (see `NetworkTask::start`), then, whatever that did, tells the
  // delegate `taskDeleteStarted`. Subclasses call it first.
  void start() override;
  // Does nothing: a delete in flight cannot be called back.
  void cancel() override {}

  // Sends "upload/delete" with `key` = `components.remoteName`. `completion` gets the API
  // client's result unchanged, once, on a background thread; a name that cannot be encoded as
  // JSON (not UTF-8) fails with the encoding error instead of never answering.
  void deleteFile(const DeleteTaskComponents& components, Completion completion);

 protected:
  // This task as held by its owners.
  std::shared_ptr<DeleteTask> sharedTask();
  // True for the first `start()` only.
  bool claimStart();
  // Executing false, then finished true.
  void finishTask();

 private:
  mutable std::mutex mu_;
  std::weak_ptr<DeleteTaskDelegate> delegate_;  // guarded by mu_
  std::atomic<bool> started_{false};
};

}  // namespace lumo
