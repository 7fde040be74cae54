#include "lumo/api/ImageDownloader.h"

#include <utility>

#include "lumo/api/HTTPRequester.h"
#include "lumo/support/DispatchQueue.h"

namespace lumo {

ImageDownloader::ImageDownloader()
    : session_(HttpSession::make(HTTPRequester::registeredConfiguration())) {}

std::shared_ptr<HttpTask> ImageDownloader::_downloadImageData(const Url& url,
                                                              DataCompletion completion) const {
  auto task = session_->dataTask(
      HttpRequest(url),
      [completion = std::move(completion)](std::optional<HttpResponse> response,
                                           std::optional<std::vector<std::uint8_t>> data,
                                           std::optional<Error> error) {
        if (error) {
          if (error->isURLCancelled()) {
            completion(ImageDownloaderError::cancelledTask());
          } else {
            completion(std::move(*error));
          }
          return;
        }
        if (!response) {
          completion(ImageDownloaderError::invalidResponse());
          return;
        }
        if (response->statusCode < 200 || response->statusCode > 299) {
          completion(ImageDownloaderError::badResponse(response->statusCode, std::move(data)));
          return;
        }
        if (!data) {
          completion(ImageDownloaderError::invalidResponse());
          return;
        }
        completion(std::move(*data));
      });
  task->resume();
  return task;
}

std::shared_ptr<HttpTask> ImageDownloader::downloadImageData(const Url& url,
                                                             DataCompletion completion) const {
  return _downloadImageData(
      url, [completion = std::move(completion)](Result<std::vector<std::uint8_t>> result) mutable {
        DispatchQueue::main().async(
            [completion = std::move(completion), result = std::move(result)]() mutable {
              completion(std::move(result));
            });
      });
}

std::shared_ptr<HttpTask> ImageDownloader::downloadImage(const Url& url,
                                                         ImageCompletion completion) const {
  return _downloadImageData(
      url, [completion = std::move(completion)](Result<std::vector<std::uint8_t>> result) mutable {
        Result<PlatformImage> image = [&]() -> Result<PlatformImage> {
          if (!result) return result.error();
          std::optional<PlatformImage> made = PlatformImage::fromData(*result);
          if (!made) return ImageDownloaderError::dataIsntImage();
          return std::move(*made);
        }();
        DispatchQueue::main().async(
            [completion = std::move(completion), image = std::move(image)]() mutable {
              completion(std::move(image));
            });
      });
}

}  // namespace lumo
