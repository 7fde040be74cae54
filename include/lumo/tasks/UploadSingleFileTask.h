#pragma once

#include <cstdint>

#include "lumo/Export.h"
#include "lumo/tasks/UploadTask.h"
#include "lumo/tasks/UploadTaskComponents.h"
#include "lumo/tasks/UploadTaskResult.h"

namespace lumo {

// Uploads the one file its components describe and ends with exactly one final delegate call.
//
//   auto task = std::make_shared<UploadSingleFileTask>(components);
//   task->setDelegate(shareService);
//   uploadQueue.addOperation(task);
//
// The delegate hears, in order: `taskUploadStarted` (on the queue's thread), any number of
// `taskProgressUpdated` with the storage post's fraction, then one of `taskUploadComplete`
// (with the components' size and the duration in milliseconds), `taskUploadError` or
// `taskCancelled`, all on the main queue. The task reports finished before that last call.
// An upload that ends without error and without a completed storage transfer is reported as
// `ShareServiceError::failedUpload`.
class LUMO_API UploadSingleFileTask : public UploadTask {
 public:
  explicit UploadSingleFileTask(UploadTaskComponents components);

  const UploadTaskComponents& components() const { return components_; }

  // Marks the task executing, tells the delegate, and starts the upload; returns at once.
  void start() override;

 private:
  // Both run on the main queue. `durationSeconds` holds milliseconds, despite its name.
  void handleUploadFileCompletion(const UploadTaskResult& result, std::int64_t durationSeconds);
  void handleProgress(double progress);

  const UploadTaskComponents components_;
};

}  // namespace lumo
