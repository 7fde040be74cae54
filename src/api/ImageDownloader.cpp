#include "lumo/api/ImageDownloader.h"

#include <utility>

#include "ExchangeOutcome.h"
#include "lumo/api/HTTPRequester.h"
#include "lumo/support/DispatchQueue.h"

namespace lumo {

ImageDownloader::ImageDownloader()
    : session_(HttpSession::make(HTTPRequester::registeredConfiguration())) {}

std::shared_ptr<HttpTask> ImageDownloader::_downloadImageData(const Url& url,
                                                              DataCompletion completion) const {
  auto task = session_->dataTask(
      HttpRequest(url),
      [completion = std::move(completion)](const std::optional<HttpResponse>& response,
                                           std::optional<std::vector<std::uint8_t>> data,
                                           std::optional<Error> error) {
        completion(api_detail::classifyExchange<ImageDownloaderError>(
            response, std::move(data), std::move(error),
            [](std::int64_t, std::optional<std::vector<std::uint8_t>> body) {
              // An image is its bytes: a 2xx answer without any is no image.
              if (!body)
                return Result<std::vector<std::uint8_t>>(ImageDownloaderError::invalidResponse());
              return Result<std::vector<std::uint8_t>>(std::move(*body));
            }));
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
