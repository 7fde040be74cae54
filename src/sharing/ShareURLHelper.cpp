#include "lumo/sharing/ShareURLHelper.h"

#include <string>
#include <utility>

namespace lumo {

std::optional<Url> ShareURLHelper::appendedName(const ScreenCapture& screenCapture,
                                                const char* prefix) {
  // The base address is checked first, so that a bad configuration costs no read of the file.
  std::optional<Url> host = _apiSettingsService->shareURLHost();
  if (!host) return std::nullopt;
  std::optional<std::string> digest = screenCapture.hashValue();
  if (!digest) return std::nullopt;
  return host->appendingPathComponent(prefix + *digest + "." + screenCapture.fileExtension());
}

std::optional<Url> ShareURLHelper::generateShareURL(const ScreenCapture& screenCapture) {
  return appendedName(screenCapture, "");
}

std::optional<Url> ShareURLHelper::generateHTMLShareURL(const ScreenCapture& screenCapture) {
  return appendedName(screenCapture, "v");
}

std::optional<Url> ShareURLHelper::generateThumbnailShareURL(const ScreenCapture& screenCapture) {
  std::optional<std::string> digest = screenCapture.hashValue();
  if (!digest) return std::nullopt;
  return Url::parse(_apiSettingsService->domain() + "/" + *digest + ".png");
}

void ShareURLHelper::getShareURL(const ScreenCapture& screenCapture, const DispatchQueue& queue,
                                 std::function<void(std::optional<Url>)> completion) {
  std::weak_ptr<ShareURLHelper> weakSelf = weak_from_this();
  std::shared_ptr<const ScreenCapture> capture = screenCapture.clone();
  queue.async([weakSelf, capture, completion = std::move(completion)] {
    std::shared_ptr<ShareURLHelper> self = weakSelf.lock();
    if (!self) return;
    if (completion) completion(self->generateShareURL(*capture));
  });
}

}  // namespace lumo
