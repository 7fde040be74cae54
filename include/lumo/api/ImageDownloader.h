#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "lumo/Export.h"
#include "lumo/api/ImageDownloaderError.h"
#include "lumo/platform/HttpSession.h"
#include "lumo/platform/PlatformImage.h"
#include "lumo/platform/Url.h"
#include "lumo/support/Result.h"

namespace lumo {

// Downloads the bytes behind a URL (a thumbnail, a capture on the delivery host) as data or as
// an image. It sends a plain GET with no header fields of its own and never the API token.
//
//   ImageDownloader downloader;
//   auto task = downloader.downloadImage(url, [](Result<PlatformImage> image) {
//     ...  // on the main queue
//   });
//   task->cancel();  // completes with ImageDownloaderError::cancelledTask()
//
// Outcomes: a cancelled transfer is `cancelledTask`; another transport error passes unchanged;
// a 2xx answer succeeds with its body (empty included); another status is `badResponse` with
// status and body; no answer is `invalidResponse`. `downloadImage` adds `dataIsntImage` for
// bytes that are not a PNG, JPEG, GIF, BMP, WebP or TIFF image (see `PlatformImage`).
//
// Several downloads may run at once on one downloader; a running task keeps the session alive.
class LUMO_API ImageDownloader {
 public:
  using DataCompletion = std::function<void(Result<std::vector<std::uint8_t>>)>;
  using ImageCompletion = std::function<void(Result<PlatformImage>)>;

  // A session with the default configuration.
  ImageDownloader();

  const std::shared_ptr<HttpSession>& session() const { return session_; }

  // Downloads the bytes; `completion` runs once, later, on the main queue.
  std::shared_ptr<HttpTask> downloadImageData(const Url& url, DataCompletion completion) const;
  // The same, with `completion` run directly on the session's background queue.
  std::shared_ptr<HttpTask> _downloadImageData(const Url& url, DataCompletion completion) const;
  // Downloads the bytes and makes an image of them; `completion` runs once, on the main queue.
  // The bytes are recognised on the session's queue, so the main thread does not decode.
  std::shared_ptr<HttpTask> downloadImage(const Url& url, ImageCompletion completion) const;

 private:
  std::shared_ptr<HttpSession> session_;
};

}  // namespace lumo
