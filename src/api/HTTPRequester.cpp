#include "lumo/api/HTTPRequester.h"

#include <chrono>
#include <utility>

#include "ExchangeOutcome.h"
#include "lumo/registry/Resolver.h"

namespace lumo {

HTTPRequester::HTTPRequester() : HTTPRequester(registeredConfiguration()) {}

HTTPRequester::HTTPRequester(HttpSessionConfiguration configuration)
    : urlSession_(HttpSession::make(std::move(configuration))) {}

HttpSessionConfiguration HTTPRequester::registeredConfiguration() {
  // A registration in the default (graph) scope makes a configuration afresh per resolution,
  // and so a pool per session: one session per storage post would then open a connection per
  // queued upload. The pool is therefore ours, one for the process, whatever the scope.
  static const HttpConnectionPool libraryPool;
  auto registered = Resolver::optionalFromRoot<HttpSessionConfiguration>();
  HttpSessionConfiguration configuration = registered ? *registered : HttpSessionConfiguration{};
  configuration.connectionPool = libraryPool;
  return configuration;
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
      [completion = std::move(completion)](const std::optional<HttpResponse>& response,
                                           std::optional<std::vector<std::uint8_t>> data,
                                           std::optional<Error> error) {
        completion(api_detail::classifyExchange<HTTPError>(
            response, std::move(data), std::move(error),
            [](std::int64_t status, std::optional<std::vector<std::uint8_t>> body) {
              return Result<HTTPResponse>(HTTPResponse{status, std::move(body)});
            }));
      });
  task->resume();
  return task;
}

}  // namespace lumo
