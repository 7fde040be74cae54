#pragma once

// The reference service (devserver) as every suite talks to it, and small process helpers.

#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "TestFiles.h"
#include "lumo/support/Error.h"

namespace lumo::test {

using Bytes = std::vector<std::uint8_t>;
using nlohmann::json;

// One exchange a test made itself: `status` is 0 when no answer came (see `error`).
struct Reply {
  std::int64_t status = 0;
  std::vector<std::pair<std::string, std::string>> headers;
  Bytes body;
  std::optional<Error> error;

  // The value of header field `name` (any case).
  std::optional<std::string> header(const std::string& name) const;
  // The body parsed, or a discarded value when it is not JSON.
  nlohmann::json json() const {
    return nlohmann::json::parse(body.begin(), body.end(), nullptr, false);
  }
  std::string text() const { return {body.begin(), body.end()}; }
};

// The service named by LUMO_API_BASE, LUMO_SHARE_BASE, LUMO_STORAGE_URL and LUMO_DEV_TOKEN.
// Other suites share it: look only at your own requests, or hold the "devstack" lock to reset it.
class DevService {
 public:
  // The service when its variables are set and it answers; otherwise nullptr, and `whyNot`
  // says how to start it:  if (!(dev = DevService::get(&why))) FAIL() << why;
  static const DevService* get(std::string* whyNot);

  std::string apiBase, shareBase, storageUrl, token;
  // The token of the account `name` of the service's accounts ("dev", "small").
  std::string tokenOf(const std::string& name) const {
    return call("GET", "/__dev__/health").json().value("/tokens"_json_pointer / name, "");
  }

  // `method` on a path of the API host ("/__dev__/reset") or on a full URL; a body is sent as
  // JSON.
  Reply call(const std::string& method, const std::string& pathOrUrl,
             const std::optional<nlohmann::json>& body = std::nullopt,
             std::map<std::string, std::string> headers = {}) const;

  // Clears faults and the request log, turns raw capture off and restores the accounts.
  void reset() const { call("POST", "/__dev__/reset", nlohmann::json::object()); }
  // Queues a fault (POST /__dev__/faults; a "body" that is not text goes as its JSON text);
  // false when the service refused it.
  bool fault(nlohmann::json fault) const {
    if (fault.contains("body") && !fault["body"].is_string()) fault["body"] = fault["body"].dump();
    return call("POST", "/__dev__/faults", fault).status == 200;
  }
  // Overrides profile values of the account with `token` until the next reset.
  bool overrideAccount(const std::string& token, nlohmann::json values) const {
    values["token"] = token;
    return call("POST", "/__dev__/accounts", values).status == 200;
  }
  // Keeps the raw bodies of storage posts in the request log ("body_b64").
  void captureStorageBodies(bool on) const {
    call("POST", "/__dev__/capture", nlohmann::json{{"storage_raw", on}});
  }

  // The request log, oldest first, for paths starting with `pathPrefix`.
  std::vector<nlohmann::json> requests(const std::string& pathPrefix = "/") const {
    const nlohmann::json log = call("GET", "/__dev__/requests?path_prefix=" + pathPrefix).json();
    return log.is_object() ? log.value("requests", std::vector<nlohmann::json>{})
                           : std::vector<nlohmann::json>{};
  }
  // Uploads `bytes` under a fresh key with `extension` the way a client does; answers the
  // object's delivery URL.
  std::optional<std::string> store(const Bytes& bytes, const std::string& extension,
                                   const std::string& contentType) const;
};

// Now in the clock of the log's "time" (seconds since the epoch), a little early.
double nowForLog();
Bytes decodeBase64(const std::string& text);

using testing_files::makeTempDir;

}  // namespace lumo::test
