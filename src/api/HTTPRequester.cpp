#include "lumo/api/HTTPRequester.h"

#include <chrono>
#include <utility>

#include "lumo/registry/Resolver.h"

namespace lumo {

HTTPRequester::HTTPRequester() : HTTPRequester(registeredConfiguration()) {}

HTTPRequester::HTTPRequester(HttpSessionConfiguration configuration)
    : urlSession_(HttpSession::make(std::move(configuration))) {}

HttpSessionConfiguration HTTPRequester::registeredConfiguration() {
  auto registered = Resolver::optionalFromRoot<HttpSessionConfiguration>();
  return registered ? *registered : HttpSessionConfiguration{};
}

std::shared_ptr<HttpTask> HTTPRequester::request(
    const Url& url, HTTPMethod method,
    const std::optional<std::map<std::string, std::string>>& headerParams,
    std::optional<std::vector<std::uint8_t>> body, Completion completion) const {
  HttpRequest request(url, rawValue(method));
  request.timeoutInterval = std::chrono::seconds(60);
  request.body = std::move(body);
  if (headerParams) {
    for (const auto& [field, value] : *headerParams) request.setValue(value, field);
  }
  auto task = urlSession_->dataTask(
      std::move(request),
      [completion = std::move(completion)](std::optional<HttpResponse> response,
                                           std::optional<std::vector<std::uint8_t>> data,
                                           std::optional<Error> error) {
        if (error) {
          if (error->isURLCancelled()) {
            completion(HTTPError::cancelledTask());
          } else {
            completion(std::move(*error));
          }
          return;
        }
        if (!response) {
          completion(HTTPError::invalidResponse());
          return;
        }
        if (response->statusCode >= 200 && response->statusCode <= 299) {
          completion(HTTPResponse{response->statusCode, std::move(data)});
        } else {
          completion(HTTPError::badResponse(response->statusCode, std::move(data)));
        }
      });
  task->resume();
  return task;
}

}  // namespace lumo
