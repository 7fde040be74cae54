#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "lumo/Export.h"
#include "lumo/api/APISettingsService.h"
#include "lumo/registry/Injected.h"
#include "lumo/sharing/ShareURLHelperService.h"

namespace lumo {

// The library's `ShareURLHelperService`, built on the share-link base address of the
// registered `APISettingsService` (resolved at construction).
//
//   Resolver::registerInMain<ShareURLHelperService>([] {
//     return std::make_shared<ShareURLHelper>();
//   });
//
// For a screencast clip.mp4 whose digest is D and a base https://cdn.example.com:
//   generateShareURL           https://cdn.example.com/D.mp4
//   generateHTMLShareURL       https://cdn.example.com/vD.mp4
//   generateThumbnailShareURL  https://cdn.example.com/D.png
//
// The file and page URLs append the name as one path component to the parsed base address
// (characters a path cannot hold are percent-encoded, so the URL's last path component gives
// the name back); when the base address does not parse they are absent and the file is not
// read. The thumbnail URL is parsed from the base address text, "/" and the name.
//
// Holds no mutable state: any thread may call it. The digest comes from the process's digest
// cache (`HashGenerator::cachedHashValue`); when the file is not there in its current version,
// it is read on the calling thread, except in `getShareURL`.
class LUMO_API ShareURLHelper : public ShareURLHelperService,
                                public std::enable_shared_from_this<ShareURLHelper> {
 public:
  ShareURLHelper() = default;

  std::optional<Url> generateShareURL(const ScreenCapture& screenCapture) override;
  std::optional<Url> generateThumbnailShareURL(const ScreenCapture& screenCapture) override;
  std::optional<Url> generateHTMLShareURL(const ScreenCapture& screenCapture) override;

  // Runs on `queue`, asynchronously, with the helper held weakly: when the helper is gone by
  // then (or was never held by a `std::shared_ptr`), the completion is not called. The capture
  // is copied, so the caller's may go away.
  void getShareURL(const ScreenCapture& screenCapture, const DispatchQueue& queue,
                   std::function<void(std::optional<Url>)> completion) override;

 private:
  // The base address with "<prefix><digest>.<extension>" appended.
  std::optional<Url> appendedName(const ScreenCapture& screenCapture, const char* prefix);

  Injected<APISettingsService> _apiSettingsService;
};

}  // namespace lumo
