#pragma once

#include <memory>

#include "lumo/Export.h"
#include "lumo/capture/ScreenCapture.h"
#include "lumo/sharing/ShareURLHelperService.h"
#include "lumo/tasks/DeleteSingleFileTask.h"
#include "lumo/tasks/ScreenCaptureTask.h"

namespace lumo {

// Deletes the remote file of a screenshot, GIF or other file, named after the capture's share
// URL.
//
//   auto task = DeleteSingleCaptureTask::make(shot, *shareURLs);
//   if (!task) return;   // no share URL: nothing to delete
class LUMO_API DeleteSingleCaptureTask : public DeleteSingleFileTask, public ScreenCaptureTask {
  struct PrivateTag {};

 public:
  // The task, or none when `shareURLHelper` cannot make the capture's share URL.
  static std::shared_ptr<DeleteSingleCaptureTask> make(const ScreenCapture& screenCapture,
                                                       ShareURLHelperService& shareURLHelper);

  // Made by `make` only.
  DeleteSingleCaptureTask(PrivateTag, const ScreenCapture& screenCapture,
                          DeleteTaskComponents components);

  const ScreenCapture& screenCapture() const override { return *screenCapture_; }
  // Does nothing, as for every delete task.
  void cancel() override { DeleteSingleFileTask::cancel(); }

 private:
  const std::unique_ptr<ScreenCapture> screenCapture_;
};

}  // namespace lumo
