#pragma once

#include "lumo/Export.h"
#include "lumo/api/DeleteUploadResponse.h"
#include "lumo/support/Result.h"
#include "lumo/tasks/DeleteTask.h"
#include "lumo/tasks/DeleteTaskComponents.h"

namespace lumo {

// Deletes one remote file. `start()` returns at once; the task finishes, and the delegate hears
// `taskDeleteComplete` or `taskDeleteError` (with the API's error unchanged), on the API
// client's background thread.
class LUMO_API DeleteSingleFileTask : public DeleteTask {
 public:
  explicit DeleteSingleFileTask(DeleteTaskComponents components);

  const DeleteTaskComponents& components() const { return components_; }

  void start() override;

 private:
  void handleDeleteResult(const Result<DeleteUploadResponse>& result);

  const DeleteTaskComponents components_;
};

}  // namespace lumo
