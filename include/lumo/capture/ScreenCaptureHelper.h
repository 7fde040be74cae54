#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "lumo/Export.h"
#include "lumo/capture/ScreenCaptureHelperService.h"
#include "lumo/registry/Injected.h"
#include "lumo/storage/DirectoriesService.h"

namespace lumo {

// The library's `ScreenCaptureHelperService`.
//
//   auto helper = std::make_shared<ScreenCaptureHelper>();   // needs a DirectoriesService
//   helper->createScreenshotLocalName(ImageFormat::png);
//   // "Screen Shot 2023-01-05 at 3.04.05 PM.png"
//   helper->screencastThumbnailURL(castURL);   // <internal folder>/Screen Cast ... PM.png
//
// Dates in names use the pattern "yyyy-MM-dd 'at' h.mm.ss a" with Western digits, "AM" and
// "PM", in the user's time zone (ICU's default zone when the helper is made). Safe to share
// between threads.
class LUMO_API ScreenCaptureHelper : public ScreenCaptureHelperService {
 public:
  using Date = std::chrono::system_clock::time_point;

  ScreenCaptureHelper();
  ~ScreenCaptureHelper() override;

  std::unique_ptr<ScreenCapture> screenCapture(const Url& forURL) override;
  std::string createCaptureLocalName(const std::string& prefix,
                                     const std::string& fileType) override;
  std::string createScreencastLocalName() override;
  std::string createScreenshotLocalName(ImageFormat imageFormat) override;
  Result<Url> screencastThumbnailURL(const Url& screencastURL) override;
  Result<Url> screencastHTMLURL(const Url& screencastURL) override;

  // The name for a capture made at `date`.
  std::string createCaptureLocalName(const std::string& prefix, const std::string& fileType,
                                     Date date);

 private:
  struct IcuFormatter;  // the ICU formatter, kept out of this header

  Result<Url> internalFileURL(const Url& screencastURL, const char* extension);

  Injected<DirectoriesService> _directoriesService;
  // ICU formatters change their calendar while formatting.
  std::mutex mu_;
  std::unique_ptr<IcuFormatter> screenShotDateFormatter_;  // guarded by mu_
};

}  // namespace lumo
