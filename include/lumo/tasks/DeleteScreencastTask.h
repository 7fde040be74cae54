#pragma once

#include <memory>

#include "lumo/Export.h"
#include "lumo/capture/Screencast.h"
#include "lumo/sharing/ShareURLHelperService.h"
#include "lumo/tasks/DeleteMultipleFilesTask.h"
#include "lumo/tasks/ScreenCaptureTask.h"

namespace lumo {

// Deletes the three remote files of a shared screencast, in this order: the video, the
// thumbnail, the HTML page.
//
//   auto task = DeleteScreencastTask::make(screencast, *shareURLs);
//   if (!task) return;   // no share URLs: nothing to delete
class LUMO_API DeleteScreencastTask : public DeleteMultipleFilesTask, public ScreenCaptureTask {
  struct PrivateTag {};

 public:
  // The task, or none when any of the three share URLs cannot be made.
  static std::shared_ptr<DeleteScreencastTask> make(const Screencast& screencast,
                                                    ShareURLHelperService& shareURLHelper);

  // Made by `make` only.
  DeleteScreencastTask(PrivateTag, const Screencast& screencast,
                       std::vector<DeleteTaskComponents> componentsArray);

  const Screencast& screencast() const { return screencast_; }
  const ScreenCapture& screenCapture() const override { return screencast_; }
  // Does nothing, as for every delete task.
  void cancel() override { DeleteMultipleFilesTask::cancel(); }

 private:
  const Screencast screencast_;
};

}  // namespace lumo
