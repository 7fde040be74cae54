#include "lumo/tasks/UploadSingleCaptureTask.h"

#include <utility>

namespace lumo {

UploadSingleCaptureTask::UploadSingleCaptureTask(const ScreenCapture& screenCapture,
                                                 UploadTaskComponents components)
    : UploadSingleFileTask(std::move(components)), screenCapture_(screenCapture.clone()) {}

}  // namespace lumo
