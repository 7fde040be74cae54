#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "lumo/Export.h"
#include "lumo/capture/ScreenCapture.h"
#include "lumo/capture/ShareResourceType.h"
#include "lumo/platform/Url.h"
#include "lumo/sharing/ShareURLHelperService.h"
#include "lumo/storage/LocalFilesService.h"
#include "lumo/support/Result.h"

namespace lumo {

// What one file upload needs: the file on disk, the public URL it will be served at (whose last
// path component is the file's remote name), the content type announced to the service and the
// storage, and the file's size.
//
//   auto components = UploadTaskComponents::components(screenshot,
//                                                      ShareResourceType::screenshot(),
//                                                      *shareURLHelper, *localFiles);
//   if (!components) return components.error();   // shareURLisAbsent, cantGetUploadFileSize
//   components->remoteName();                     // "<md5>.png"
struct LUMO_API UploadTaskComponents {
  UploadTaskComponents(Url localURL, Url uploadURL, std::string contentType, std::int64_t fileSize)
      : localURL(std::move(localURL)),
        uploadURL(std::move(uploadURL)),
        contentType(std::move(contentType)),
        fileSize(fileSize) {}

  // The components of `screenCapture`'s file: its share URL from `shareURLService` (checked
  // first: `ShareServiceError::shareURLisAbsent` without one), its size from `fileService`
  // (`ShareServiceError::cantGetUploadFileSize` when unknown) and `resourceType`'s content
  // type. Reads and digests the whole file.
  static Result<UploadTaskComponents> components(const ScreenCapture& screenCapture,
                                                 const ShareResourceType& resourceType,
                                                 ShareURLHelperService& shareURLService,
                                                 LocalFilesService& fileService);

  // The last path component of `uploadURL`: the file's name in storage.
  std::string remoteName() const { return uploadURL.lastPathComponent(); }
  // The last path component of `localURL`.
  std::string originalName() const { return localURL.lastPathComponent(); }

  friend bool operator==(const UploadTaskComponents&, const UploadTaskComponents&) = default;

  Url localURL;
  Url uploadURL;
  std::string contentType;
  std::int64_t fileSize;
};

}  // namespace lumo
