#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "lumo/api/HTTPMethod.h"
#include "lumo/platform/HttpTask.h"
#include "lumo/platform/Url.h"

namespace lumo::cli {

// One request of `lumo`'s own, sent through the library's HTTP layer when the library itself
// does not tell why something failed (a remote check reports nothing on failure; a decoding
// failure does not keep the status). Started at construction, cancelled at destruction.
class ServiceProbe {
 public:
  struct Answer {
    std::int64_t status = 0;  // the HTTP status; 0 when none came
    std::string why;          // "HTTP 500", "connection refused", "timed out", ...; empty on 2xx
  };

  ServiceProbe(const Url& url, HTTPMethod method, std::map<std::string, std::string> headers = {});
  ~ServiceProbe();
  ServiceProbe(const ServiceProbe&) = delete;
  ServiceProbe& operator=(const ServiceProbe&) = delete;

  // Absent while the request runs.
  std::optional<Answer> answer() const;
  // Waits for the answer; absent after Ctrl-C.
  std::optional<Answer> wait() const;

  // GET profile/me with `token`: absent when the service accepts it, else why not.
  static std::optional<std::string> whyTokenRefused(const std::string& apiBase,
                                                    const std::string& token);

 private:
  struct State {
    mutable std::mutex mu;
    std::optional<Answer> answer;  // guarded by mu
  };
  std::shared_ptr<State> state_;
  std::shared_ptr<HttpTask> task_;
};

// What to tell a user whose token the service refused.
inline constexpr const char* kTokenRefused =
    "the service refused the token (HTTP 401); get a valid token and run `lumo login TOKEN`";

}  // namespace lumo::cli
