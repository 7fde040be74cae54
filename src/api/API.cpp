#include "lumo/api/API.h"

#include <map>

#include "lumo/account/UserAccountStoreError.h"
#include "lumo/api/APISettings.h"
#include "lumo/api/HTTPRequester.h"

namespace lumo::api_detail {

void CallParts::logRequest(LogService& log, bool isDebug, const Endpoint& endpoint) {
  if (isDebug) log.debug("Request = " + endpoint.path());
}

void CallParts::logEncodingFailure(LogService& log, const Error& error) {
  log.error(error, LogInfo{{"API call", error.localizedDescription()}});
}

std::shared_ptr<HttpTask> CallParts::performRequest(
    const UserAccountStoreService& store, const std::string& baseUrl, const Endpoint& endpoint,
    HTTPMethod method, std::optional<std::vector<std::uint8_t>> body,
    std::function<void(Result<HTTPResponse>)> onResult) {
  const std::optional<std::string> token = store.authToken();
  const std::optional<Url> url = Url::parse(baseUrl + "/api/v1/" + endpoint.path() + "/");
  if (!token || !url) {
    onResult(UserAccountStoreError::missingAuthToken);
    return nullptr;
  }
  const std::map<std::string, std::string> headers{
      {"Authorization", "ApiKey " + *token},
      {"Content-Type", "application/json"},
  };
  // A requester per call, as the service's clients always did; its session lives as long as
  // the task.
  HTTPRequester requester;
  return requester.request(*url, method, headers, std::move(body), std::move(onResult));
}

std::string CallParts::printedObject(const std::optional<std::vector<std::uint8_t>>& data) {
  std::optional<nlohmann::json> object = JSONDecoder::parseObject(data);
  if (!object) return "nil";
  return object->dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

Error CallParts::schemaMismatch(const Error& decodingFailure) {
  const DecodingError* d = decodingFailure.as<DecodingError>();
  return APIError::schemaMismatch(d ? d->description() : decodingFailure.localizedDescription());
}

std::string CallParts::defaultBaseUrl() {
  return APISettings::serviceAddresses().apiBaseUrl;
}

}  // namespace lumo::api_detail
