#pragma once

#include <atomic>
#include <memory>
#include <utility>

#include "lumo/api/API.h"
#include "lumo/api/JSONEncoder.h"
#include "lumo/support/DispatchQueue.h"

namespace lumo::tasks_detail {

// Posts `body` through `api` like `API::post`, except that `completion` is answered in every
// case:
//
//   uploadTask_ = postAnswered(api, request, Endpoint::start(), HTTPMethod::post, completion);
//
// The API client logs a body it cannot encode (a remote name that is not UTF-8) and returns
// no task without ever calling its completion, and a task that waits for that completion would
// wait for good. When the client returns no task and has not answered, that is the case: the
// body is encoded once more, here and only then, for its `EncodingError`, which `completion`
// gets on the global queue, as it gets any other failure of the call on a background queue.
template <typename Body, typename Response>
std::shared_ptr<HttpTask> postAnswered(const API<Body, Response>& api, const Body& body,
                                       const Endpoint& endpoint, HTTPMethod method,
                                       typename API<Body, Response>::Completion completion) {
  using Completion = typename API<Body, Response>::Completion;
  auto answer = std::make_shared<Completion>(std::move(completion));
  auto answered = std::make_shared<std::atomic<bool>>(false);
  std::shared_ptr<HttpTask> task =
      api.post(body, endpoint, method, [answer, answered](Result<Response> result) {
        answered->store(true);
        (*answer)(std::move(result));
      });
  if (task || answered->load()) return task;
  Result<std::vector<std::uint8_t>> encoded = JSONEncoder().encode(body);
  if (encoded) return task;  // not an encoding failure: the client answers by itself
  DispatchQueue::global().async(
      [answer, error = encoded.error()] { (*answer)(Result<Response>(error)); });
  return task;
}

}  // namespace lumo::tasks_detail
