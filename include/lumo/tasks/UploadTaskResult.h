#pragma once

#include <memory>
#include <optional>
#include <utility>

#include "lumo/Export.h"
#include "lumo/platform/HttpTask.h"
#include "lumo/support/Error.h"

namespace lumo {

// How one file upload of an `UploadTask` ended.
//
// - `task`: the storage transfer, when the upload got that far; empty when it ended at
//   "upload/start" (or before it).
// - `error`: absent on success. A storage answer of any HTTP status without a transport error
//   is a success.
// - `isCancelled`: the upload ended because the task was cancelled.
struct LUMO_API UploadTaskResult {
  UploadTaskResult(std::shared_ptr<HttpTask> task, std::optional<Error> error, bool isCancelled)
      : task(std::move(task)), error(std::move(error)), isCancelled(isCancelled) {}

  std::shared_ptr<HttpTask> task;
  std::optional<Error> error;
  bool isCancelled;
};

}  // namespace lumo
