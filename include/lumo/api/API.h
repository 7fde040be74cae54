#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "lumo/Export.h"
#include "lumo/account/UserAccountStoreService.h"
#include "lumo/api/APIError.h"
#include "lumo/api/Endpoint.h"
#include "lumo/api/HTTPError.h"
#include "lumo/api/HTTPMethod.h"
#include "lumo/api/HTTPResponse.h"
#include "lumo/api/JSONDecoder.h"
#include "lumo/api/JSONEncoder.h"
#include "lumo/api/RequestData.h"
#include "lumo/platform/HttpTask.h"
#include "lumo/registry/Injected.h"
#include "lumo/support/LogService.h"
#include "lumo/support/Result.h"

namespace lumo {

namespace api_detail {

// The parts of a call that do not depend on the model types; see `API`.
struct LUMO_API CallParts {
  // Logs "Request = " + the path when `isDebug`.
  static void logRequest(LogService& log, bool isDebug, const Endpoint& endpoint);
  // Logs an encoding failure with {"API call": its description}.
  static void logEncodingFailure(LogService& log, const Error& error);
  // Reads the token, builds `baseUrl` + "/api/v1/" + path + "/", and sends the request with
  // the "Authorization" and "Content-Type" fields through a new `HTTPRequester`. Without a
  // token, or when the URL does not parse, `onResult` gets `missingAuthToken` at once and no
  // task is returned.
  static std::shared_ptr<HttpTask> performRequest(
      const UserAccountStoreService& store, const std::string& baseUrl, const Endpoint& endpoint,
      HTTPMethod method, std::optional<std::vector<std::uint8_t>> body,
      std::function<void(Result<HTTPResponse>)> onResult);
  // The debug rendering of a body: its JSON object compact, or "nil".
  static std::string printedObject(const std::optional<std::vector<std::uint8_t>>& data);
  // The base address an `API` starts with (the process-wide `apiBaseUrl`, see `APISettings`).
  static std::string defaultBaseUrl();
  // `APIError::schemaMismatch` with the full description of a decoding failure.
  static Error schemaMismatch(const Error& decodingFailure);
};

// The response step of every call: turns the requester's classification into the caller's
// result, synchronously on the calling thread, calling `completion` exactly once.
//
// - Success: an empty body is read as {}; "JSON received = " and the body's object are logged;
//   the body decodes as the model, or the result is `APIError::schemaMismatch` with the decoding
//   error's full description (after logging "Success response decoding error = ").
// - `HTTPError::badResponse`: "Bad response. JSON Error = " and the body's object are logged;
//   without a body the error passes unchanged; a body decodes as `ModelErrorResponse` into
//   `APIError::errors`, or gives `schemaMismatch` (after "Decoding failure response error = "),
//   an empty body included. The status is not kept.
// - Any other error (cancelled, invalid response, transport, missing token) passes unchanged.
// Log lines are written through `log.debug` only when `isDebug`. Exposed here, rather than hidden
// in `API`, so that the outcomes the HTTP stack never produces (a non-2xx answer without any
// body, an exchange without a response) can be exercised too.
template <JSONDecodable ResponseModel>
void handleResponse(Result<HTTPResponse> result, const RequestData& /*requestData*/,
                    const std::function<void(Result<ResponseModel>)>& completion, LogService& log,
                    bool isDebug) {
  if (result.ok()) {
    // The session always delivers a body with an answer; none is read as empty.
    std::vector<std::uint8_t> body = result->data.value_or(std::vector<std::uint8_t>{});
    if (body.empty()) body = {'{', '}'};
    if (isDebug) log.debug("JSON received = " + CallParts::printedObject(body));
    Result<ResponseModel> decoded = JSONDecoder().decode<ResponseModel>(body);
    if (decoded.ok()) {
      completion(std::move(*decoded));
      return;
    }
    if (isDebug) {
      log.debug("Success response decoding error = " + decoded.error().localizedDescription());
    }
    completion(CallParts::schemaMismatch(decoded.error()));
    return;
  }

  const Error& error = result.error();
  const HTTPError* httpError = error.as<HTTPError>();
  if (httpError == nullptr || httpError->kind() != HTTPError::Kind::badResponse) {
    completion(error);
    return;
  }
  if (isDebug)
    log.debug("Bad response. JSON Error = " + CallParts::printedObject(httpError->data()));
  if (!httpError->data()) {
    completion(error);
    return;
  }
  Result<ModelErrorResponse> decoded = JSONDecoder().decode<ModelErrorResponse>(*httpError->data());
  if (decoded.ok()) {
    completion(Error(APIError::errors(std::move(*decoded))));
    return;
  }
  if (isDebug) {
    log.debug("Decoding failure response error = " + decoded.error().localizedDescription());
  }
  completion(CallParts::schemaMismatch(decoded.error()));
}

}  // namespace api_detail

// The client of the service's HTTP API: JSON over HTTPS, four endpoints under "/api/v1/", every
// call authorised with the signed-in user's token.
//
//   API<Empty, ProfileResponse>().get(Endpoint::me(), HTTPMethod::get,
//       [](Result<ProfileResponse> r) { ... });              // on the network queue
//
//   API<StartUploadRequest, StartUploadResponse> api;
//   auto task = api.post(StartUploadRequest{"image/png", 1024, key}, Endpoint::start(),
//                        HTTPMethod::post, completion);
//
// A call goes to `baseUrl()` + "/api/v1/" + the endpoint's path + "/" (the trailing slash
// matters to the service) with the header fields "Authorization: ApiKey <token>" and
// "Content-Type: application/json", GET included. The completion runs once, on the session's
// background queue, with one of (see `handleResponse`):
// - the decoded model (an empty 2xx body reads as {});
// - `APIError::errors` for a non-2xx answer {"errors": [...]}, `APIError::schemaMismatch` for any
//   body that does not decode as expected;
// - `HTTPError` (`badResponse` without body, `cancelledTask`, `invalidResponse`);
// - the transport error unchanged; `UserAccountStoreError::missingAuthToken` at once when no
//   token is held (nothing is sent then, and no task is returned).
// A body that cannot be encoded is logged and returns no task; the completion is not called.
//
// A value is made per call; the default construction resolves `UserAccountStoreService` and
// `LogService` from the container. With `setIsDebug(true)` the client logs the request path and
// the answers' JSON through `debug`; the token never appears in any line.
template <JSONEncodable RequestBody, JSONDecodable ResponseModel>
class API {
 public:
  using Completion = std::function<void(Result<ResponseModel>)>;

  API() : baseUrl_(api_detail::CallParts::defaultBaseUrl()) {}

  bool isDebug() const { return isDebug_; }
  void setIsDebug(bool isDebug) { isDebug_ = isDebug; }
  // The API's base address, without "/api/v1" and without trailing slash.
  const std::string& baseUrl() const { return baseUrl_; }
  void setBaseUrl(std::string baseUrl) { baseUrl_ = std::move(baseUrl); }

  // A call without a request body.
  std::shared_ptr<HttpTask> get(const Endpoint& endpoint, HTTPMethod method,
                                Completion completion) const {
    return call(std::nullopt, endpoint, method, std::move(completion));
  }

  // A call whose body is `body` encoded as JSON.
  std::shared_ptr<HttpTask> post(const RequestBody& body, const Endpoint& endpoint,
                                 HTTPMethod method, Completion completion) const {
    return call(body.encode(), endpoint, method, std::move(completion));
  }

 private:
  std::shared_ptr<HttpTask> call(std::optional<nlohmann::json> json, const Endpoint& endpoint,
                                 HTTPMethod method, Completion completion) const {
    std::optional<std::vector<std::uint8_t>> bytes;
    if (json) {
      Result<std::vector<std::uint8_t>> encoded = JSONEncoder::encodeJSON(*json);
      if (!encoded) {
        api_detail::CallParts::logEncodingFailure(*_log, encoded.error());
        return nullptr;
      }
      bytes = std::move(*encoded);
    }
    api_detail::CallParts::logRequest(*_log, isDebug_, endpoint);
    RequestData requestData{std::move(json), endpoint, method};
    return api_detail::CallParts::performRequest(
        *_userStore, baseUrl_, endpoint, method, std::move(bytes),
        [requestData = std::move(requestData), completion = std::move(completion),
         log = _log.wrappedValue(), isDebug = isDebug_](Result<HTTPResponse> result) {
          api_detail::handleResponse<ResponseModel>(std::move(result), requestData, completion,
                                                    *log, isDebug);
        });
  }

  Injected<UserAccountStoreService> _userStore;
  Injected<LogService> _log;
  bool isDebug_ = false;
  std::string baseUrl_;
};

}  // namespace lumo
