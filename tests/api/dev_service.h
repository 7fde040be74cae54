#pragma once

// Access to the reference service (devserver) for the api and account tests: its addresses,
// its test hooks, synchronous HTTP for the tests' own requests, and the services the library
// resolves, registered once per process the way a host registers them.

#include <atomic>
#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "lumo/platform/HttpSession.h"
#include "lumo/sharing/EnvironmentHelperService.h"
#include "lumo/support/Error.h"

namespace lumo::devtest {

// The reference service named by LUMO_API_BASE, LUMO_SHARE_BASE, LUMO_STORAGE_URL and
// LUMO_DEV_TOKEN.
class DevService {
 public:
  struct Reply {
    std::int64_t status = 0;
    std::vector<std::uint8_t> body;
    std::optional<Error> error;
    nlohmann::json json() const;
  };

  // The service when its variables are set and it answers its health hook; otherwise nullptr
  // and `whyNot` says to start it.
  static const DevService* get(std::string* whyNot);

  const std::string& apiBase() const { return apiBase_; }
  const std::string& shareBase() const { return shareBase_; }
  const std::string& storageUrl() const { return storageUrl_; }
  const std::string& token() const { return token_; }
  // The token of the account named `name` in the service's accounts ("dev", "small").
  std::string tokenOf(const std::string& name) const;

  // Sends `method` to `path` (relative to the API base, e.g. "/__dev__/reset") or to a full URL.
  Reply call(const std::string& method, const std::string& pathOrUrl,
             const std::optional<nlohmann::json>& body = std::nullopt,
             const std::map<std::string, std::string>& headers = {}) const;

  // Clears faults and the request log and restores the accounts.
  void reset() const;
  // Queues a fault (see POST /__dev__/faults); a "body" that is not text is sent as its JSON text.
  // A refused fault stops the test program.
  void fault(const nlohmann::json& fault) const;
  // Overrides profile values of the account with `token` until the next reset.
  void overrideAccount(const std::string& token, nlohmann::json values) const;
  // The request log, oldest first, limited to paths starting with `pathPrefix`.
  std::vector<nlohmann::json> requests(const std::string& pathPrefix = "/") const;

  // Uploads `bytes` through the API and the storage post under a fresh key with `extension`,
  // and answers the object's delivery URL (LUMO_SHARE_BASE/<key>).
  std::optional<std::string> store(const std::vector<std::uint8_t>& bytes,
                                   const std::string& extension,
                                   const std::string& contentType) const;

 private:
  std::string apiBase_, shareBase_, storageUrl_, token_;
  nlohmann::json health_;
  std::shared_ptr<HttpSession> session_;
};

// The host's environment service for tests: the debug flag can be switched.
class TestEnvironment : public EnvironmentHelperService {
 public:
  bool isDebug() const override { return debug.load(); }
  std::atomic<bool> debug{true};
};

// Registers, once per process, what a host registers: the environment, `Log`, the account
// store, the API settings, the settings and the profile updater (application scope). Points
// the process-wide service addresses at the reference service when it is configured. Call after
// the test's defaults folder (XDG_CONFIG_HOME) is set.
TestEnvironment& installServices();

// Captures everything the process writes to standard output between construction and `text()`.
class StdoutCapture {
 public:
  StdoutCapture();
  ~StdoutCapture();
  // Stops capturing (once) and answers what was written.
  std::string text();

 private:
  int savedFd_ = -1;
  int fileFd_ = -1;
  std::string text_;
  bool done_ = false;
};

// A fresh folder under the system's temporary folder; the caller removes it.
std::string makeTempDir(const std::string& prefix);

}  // namespace lumo::devtest
