#include "lumo/tasks/UploadTaskComponents.h"

#include "lumo/sharing/ShareServiceError.h"

namespace lumo {

Result<UploadTaskComponents> UploadTaskComponents::components(
    const ScreenCapture& screenCapture, const ShareResourceType& resourceType,
    ShareURLHelperService& shareURLService, LocalFilesService& fileService) {
  const Url& localURL = screenCapture.fileURL();
  std::optional<Url> uploadURL = shareURLService.generateShareURL(screenCapture);
  if (!uploadURL) return ShareServiceError::shareURLisAbsent;
  std::optional<std::int64_t> fileSize = fileService.getFileSize(localURL);
  if (!fileSize) return ShareServiceError::cantGetUploadFileSize;
  return UploadTaskComponents(localURL, std::move(*uploadURL), resourceType.contentType(),
                              *fileSize);
}

}  // namespace lumo
