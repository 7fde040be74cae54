#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "lumo/Export.h"
#include "lumo/support/AtomicVariable.h"
#include "lumo/support/Error.h"
#include "lumo/tasks/DeleteTask.h"
#include "lumo/tasks/DeleteTaskComponents.h"

namespace lumo {

// Deletes a list of remote files one after the other: each "upload/delete" is sent after the
// previous one was answered, and every file is tried even when one fails. `start()` returns once
// the first is sent; after each answer the next is sent from a pool thread, and after the last
// one the task finishes and reports there, never on the main queue, `taskDeleteComplete`, or
// `taskDeleteError` with `ShareServiceError::failedDeleteOperation` when any file failed (the
// single errors only go to the debug log).
class LUMO_API DeleteMultipleFilesTask : public DeleteTask {
 public:
  explicit DeleteMultipleFilesTask(std::vector<DeleteTaskComponents> componentsArray);

  const std::vector<DeleteTaskComponents>& componentsArray() const { return componentsArray_; }

  void start() override;

 private:
  // Sends the delete of file `index`, or finishes and reports after the last.
  void deleteFileAt(std::size_t index);

  const std::vector<DeleteTaskComponents> componentsArray_;
  AtomicVariable<std::optional<Error>> uploadError_{std::nullopt};
};

}  // namespace lumo
