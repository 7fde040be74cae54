#include "lumo/tasks/DeleteSingleCaptureTask.h"

#include <utility>

namespace lumo {

std::shared_ptr<DeleteSingleCaptureTask> DeleteSingleCaptureTask::make(
    const ScreenCapture& screenCapture, ShareURLHelperService& shareURLHelper) {
  std::optional<Url> url = shareURLHelper.generateShareURL(screenCapture);
  if (!url) return nullptr;
  return std::make_shared<DeleteSingleCaptureTask>(PrivateTag{}, screenCapture,
                                                   DeleteTaskComponents{url->lastPathComponent()});
}

DeleteSingleCaptureTask::DeleteSingleCaptureTask(PrivateTag, const ScreenCapture& screenCapture,
                                                 DeleteTaskComponents components)
    : DeleteSingleFileTask(std::move(components)), screenCapture_(screenCapture.clone()) {}

}  // namespace lumo
