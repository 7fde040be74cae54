#pragma once

#include <cstdint>
#include <memory>

#include "lumo/Export.h"
#include "lumo/capture/ScreenCapture.h"
#include "lumo/tasks/ScreenCaptureTask.h"
#include "lumo/tasks/UploadSingleFileTask.h"

namespace lumo {

// The upload of a screenshot, a GIF or any other file, bound to its capture so that the share
// service can find and cancel it. The share service makes its components with
// `UploadTaskComponents::components`.
//
//   auto components = UploadTaskComponents::components(shot, ShareResourceType::screenshot(),
//                                                      *shareURLs, *localFiles);
//   auto task = std::make_shared<UploadSingleCaptureTask>(shot, *components);
class LUMO_API UploadSingleCaptureTask : public UploadSingleFileTask, public ScreenCaptureTask {
 public:
  // Keeps a copy of `screenCapture`, with its kind.
  UploadSingleCaptureTask(const ScreenCapture& screenCapture, UploadTaskComponents components);

  const ScreenCapture& screenCapture() const override { return *screenCapture_; }
  // The size of the file, from the components.
  std::int64_t fileSize() const override { return components().fileSize; }
  void cancel() override { UploadSingleFileTask::cancel(); }

 private:
  const std::unique_ptr<ScreenCapture> screenCapture_;
};

}  // namespace lumo
