#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "lumo/Export.h"
#include "lumo/api/HTTPError.h"
#include "lumo/api/HTTPMethod.h"
#include "lumo/api/HTTPResponse.h"
#include "lumo/platform/HttpSession.h"
#include "lumo/platform/Url.h"
#include "lumo/support/Result.h"

namespace lumo {

// A thin owner of one HTTP session that sends a request and classifies its outcome into exactly
// one of: a 2xx answer (`HTTPResponse`), an HTTP failure (`HTTPError`), or the session's own
// transport error (domain "NSURLErrorDomain", unchanged).
//
//   HTTPRequester requester;
//   auto task = requester.request(url, HTTPMethod::head, std::nullopt, std::nullopt,
//                                 [](Result<HTTPResponse> r) { ... });
//   task->cancel();   // the completion then gets HTTPError::cancelledTask()
//
// Classification: a cancelled transfer (-999) is `cancelledTask`; any other error passes
// unchanged; a status in 200...299 succeeds with the body; any other status (401 included) is
// `badResponse` with status and body; an answer-less end without error is `invalidResponse`.
//
// Completions run once, on the session's delegate queue (a serial background queue of the
// session's own). The requester holds no mutable state; several requests may run at once, and
// a running task keeps the session alive after the requester is gone.
class LUMO_API HTTPRequester {
 public:
  using Completion = std::function<void(Result<HTTPResponse>)>;

  // A session made from `registeredConfiguration()`, without delegate.
  HTTPRequester();
  // A session made from `configuration`, without delegate.
  explicit HTTPRequester(HttpSessionConfiguration configuration);

  // The configuration of the library's own sessions (API calls, storage posts, image
  // downloads): the `HttpSessionConfiguration` the host registered, a value service
  // (`Resolver::registerInMain<HttpSessionConfiguration>([] { ... return configuration; })`),
  // else the default one. Its `connectionPool` is the library's own, one for the process, so
  // that the bounds hold across all those sessions (one per storage post included), whatever
  // the scope the host registered it in. Any thread.
  static HttpSessionConfiguration registeredConfiguration();

  const std::shared_ptr<HttpSession>& urlSession() const { return urlSession_; }

  // Sends `method` to `url` with a 60-second idle timeout, the header fields of `headerParams`
  // (each replacing an earlier value of its field) and `body` (none when absent), and returns
  // the started task, which the caller may keep to cancel.
  std::shared_ptr<HttpTask> request(
      const Url& url, HTTPMethod method,
      const std::optional<std::map<std::string, std::string>>& headerParams,
      std::optional<std::vector<std::uint8_t>> body, Completion completion) const;

 private:
  std::shared_ptr<HttpSession> urlSession_;
};

}  // namespace lumo
