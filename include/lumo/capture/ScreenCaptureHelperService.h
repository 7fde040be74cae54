#pragma once

#include <memory>
#include <string>

#include "lumo/Export.h"
#include "lumo/capture/ImageFormat.h"
#include "lumo/capture/ScreenCapture.h"
#include "lumo/platform/Url.h"
#include "lumo/support/Result.h"

namespace lumo {

// Names of new capture files, the kind of a file, and where a screencast's thumbnail and page
// go.
class LUMO_API ScreenCaptureHelperService {
 public:
  virtual ~ScreenCaptureHelperService() = default;

  // A capture of the kind the URL's path extension names (lower-cased): png, jpeg, jpg →
  // Screenshot; mp4, mov → Screencast without thumbnail; gif → GIF; anything else or none →
  // OtherItem. The capture keeps the URL exactly as given.
  virtual std::unique_ptr<ScreenCapture> screenCapture(const Url& forURL) = 0;
  // `prefix`, " ", the current date and time ("2023-01-05 at 3.04.05 PM"), "." and
  // `fileType`.
  virtual std::string createCaptureLocalName(const std::string& prefix,
                                             const std::string& fileType) = 0;
  // createCaptureLocalName("Screen Cast", "mp4").
  virtual std::string createScreencastLocalName() = 0;
  // createCaptureLocalName("Screen Shot", fileType(imageFormat)).
  virtual std::string createScreenshotLocalName(ImageFormat imageFormat) = 0;
  // The library's internal folder + the screencast's file name with its last extension
  // replaced by "png". Fails only when the internal folder cannot be determined.
  virtual Result<Url> screencastThumbnailURL(const Url& screencastURL) = 0;
  // The same with "html": the screencast's web page.
  virtual Result<Url> screencastHTMLURL(const Url& screencastURL) = 0;
};

}  // namespace lumo
