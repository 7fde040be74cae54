#pragma once

#include <cstdint>
#include <memory>

#include "lumo/Export.h"
#include "lumo/support/Error.h"

namespace lumo {

class UploadTask;

// Follows an upload task from its start to its one final call (`taskUploadComplete`,
// `taskUploadError` or `taskCancelled`). The share service implements it; a task holds its
// delegate weakly.
//
// Threads: `taskUploadStarted` comes on the thread that starts the task (the upload queue's);
// progress and the final call of a single-file upload come on the main queue; a cancel before
// any network request reports `taskCancelled` on the cancelling thread; a screencast upload
// makes its final call on its own queue thread.
class LUMO_API UploadTaskDelegate {
 public:
  virtual ~UploadTaskDelegate() = default;

  virtual void taskUploadStarted(const std::shared_ptr<UploadTask>& task) = 0;
  // `progress` is the fraction (0...1) of the whole task.
  virtual void taskProgressUpdated(const std::shared_ptr<UploadTask>& task, double progress) = 0;
  // `fileSize` in bytes, `duration` in milliseconds.
  virtual void taskUploadComplete(const std::shared_ptr<UploadTask>& task, std::int64_t fileSize,
                                  std::int64_t duration) = 0;
  virtual void taskUploadError(const std::shared_ptr<UploadTask>& task, std::int64_t fileSize,
                               const Error& error, std::int64_t duration) = 0;
  virtual void taskCancelled(const std::shared_ptr<UploadTask>& task) = 0;
};

}  // namespace lumo
