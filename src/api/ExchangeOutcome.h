#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "lumo/platform/HttpResponse.h"
#include "lumo/support/Error.h"
#include "lumo/support/Result.h"

namespace lumo::api_detail {

// Turns the end of one exchange with the service into the caller's result, the same way for
// every client of the service (`HTTPRequester`, `ImageDownloader`), each with its own error
// type `Failure`:
//
//   completion(classifyExchange<HTTPError>(std::move(response), std::move(data),
//                                          std::move(error), [](std::int64_t status, auto body) {
//     return Result<HTTPResponse>(HTTPResponse{status, std::move(body)});
//   }));
//
// - an error that is a cancelled transfer (-999) is `Failure::cancelledTask()`; any other
//   error passes unchanged;
// - an end without error and without answer is `Failure::invalidResponse()`;
// - a status outside 200...299 is `Failure::badResponse(status, body)`;
// - a 2xx answer is what `onSuccess(status, body)` makes of it.
template <typename Failure, typename OnSuccess>
auto classifyExchange(const std::optional<HttpResponse>& response,
                      std::optional<std::vector<std::uint8_t>> data, std::optional<Error> error,
                      OnSuccess&& onSuccess) {
  using Outcome = decltype(onSuccess(std::int64_t{}, std::move(data)));
  if (error) {
    if (error->isURLCancelled()) return Outcome(Error(Failure::cancelledTask()));
    return Outcome(std::move(*error));
  }
  if (!response) return Outcome(Error(Failure::invalidResponse()));
  if (response->statusCode < 200 || response->statusCode > 299) {
    return Outcome(Error(Failure::badResponse(response->statusCode, std::move(data))));
  }
  return std::forward<OnSuccess>(onSuccess)(response->statusCode, std::move(data));
}

}  // namespace lumo::api_detail
