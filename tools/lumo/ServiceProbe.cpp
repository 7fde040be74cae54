#include "ServiceProbe.h"

#include "Interrupt.h"
#include "lumo/api/HTTPError.h"
#include "lumo/api/HTTPRequester.h"
#include "lumo/support/DispatchQueue.h"

namespace lumo::cli {
namespace {

ServiceProbe::Answer describe(const Result<HTTPResponse>& result) {
  if (result) return {result.value().statusCode, ""};
  const Error& error = result.error();
  if (const auto* http = error.as<HTTPError>()) {
    if (http->kind() == HTTPError::Kind::badResponse) {
      return {http->statusCode(), "HTTP " + std::to_string(http->statusCode())};
    }
    return {0, error.localizedDescription()};
  }
  switch (error.code()) {
    case URLErrorCode::kCannotConnectToHost:
      return {0, "connection refused"};
    case URLErrorCode::kTimedOut:
      return {0, "timed out"};
    case URLErrorCode::kCannotFindHost:
      return {0, "host not found"};
    default:
      return {0, error.localizedDescription()};
  }
}

}  // namespace

ServiceProbe::ServiceProbe(const Url& url, HTTPMethod method,
                           std::map<std::string, std::string> headers)
    : state_(std::make_shared<State>()) {
  HTTPRequester requester;
  task_ = requester.request(url, method, std::move(headers), std::nullopt,
                            [state = state_](const Result<HTTPResponse>& result) {
                              std::lock_guard lock(state->mu);
                              state->answer = describe(result);
                            });
}

ServiceProbe::~ServiceProbe() {
  if (task_ && !answer()) task_->cancel();
}

std::optional<ServiceProbe::Answer> ServiceProbe::answer() const {
  std::lock_guard lock(state_->mu);
  return state_->answer;
}

std::optional<ServiceProbe::Answer> ServiceProbe::wait() const {
  while (!answer() && !Interrupt::requested()) {
    MainQueue::runUntil([this] { return answer().has_value() || Interrupt::requested(); },
                        std::chrono::milliseconds(100));
  }
  return answer();
}

std::optional<std::string> ServiceProbe::whyTokenRefused(const std::string& apiBase,
                                                         const std::string& token) {
  const auto url = Url::parse(apiBase + "/api/v1/profile/me/");
  if (!url) return "the API base " + apiBase + " is not a valid address";
  const ServiceProbe probe(*url, HTTPMethod::get, {{"Authorization", "ApiKey " + token}});
  const auto answer = probe.wait();
  if (!answer) return "interrupted";
  if (answer->why.empty()) return std::nullopt;
  if (answer->status == 401) return std::string(kTokenRefused);
  return "the service could not check the token: " + answer->why +
         "; `lumo login --no-verify TOKEN` keeps it unchecked";
}

}  // namespace lumo::cli
