#pragma once

#include <functional>
#include <optional>

#include "lumo/Export.h"
#include "lumo/capture/ScreenCapture.h"
#include "lumo/platform/Url.h"
#include "lumo/support/DispatchQueue.h"

namespace lumo {

// The public URLs at which a capture is served once it is uploaded. They depend only on the
// capture's bytes and extension, so they are known before the upload begins.
//
//   auto url = _shareURLHelperService->generateShareURL(screenshot);
//   // https://cdn.example.com/<md5 of the file>.png
//
// Every operation reads and digests the whole file; callers keep a URL they need twice.
class LUMO_API ShareURLHelperService {
 public:
  virtual ~ShareURLHelperService() = default;

  // The capture's file: the base address, "/", the digest, ".", the capture's extension.
  // Absent when the base address does not parse or the file cannot be read.
  virtual std::optional<Url> generateShareURL(const ScreenCapture& screenCapture) = 0;
  // A screencast's thumbnail: the base address, "/", the digest, ".png".
  virtual std::optional<Url> generateThumbnailShareURL(const ScreenCapture& screenCapture) = 0;
  // A screencast's page: the base address, "/v", the digest, ".", the capture's extension.
  virtual std::optional<Url> generateHTMLShareURL(const ScreenCapture& screenCapture) = 0;
  // `generateShareURL` computed on `queue` and handed to `completion` there.
  virtual void getShareURL(const ScreenCapture& screenCapture, const DispatchQueue& queue,
                           std::function<void(std::optional<Url>)> completion) = 0;
};

}  // namespace lumo
