#pragma once

#include <optional>
#include <string>

#include "lumo/Export.h"
#include "lumo/api/APISettingsService.h"
#include "lumo/platform/Url.h"

namespace lumo {

// The two addresses of the service: where the API lives (`apiBaseUrl`, without "/api/v1") and
// where shared captures are served from (`shareDomain`). Both without trailing slash.
struct LUMO_API ServiceAddresses {
  std::string apiBaseUrl;
  std::string shareDomain;

  friend bool operator==(const ServiceAddresses&, const ServiceAddresses&) = default;
};

// The library's `APISettingsService`, and the keeper of the process-wide service addresses.
//
// The addresses start as placeholders under the reserved ".invalid" domain
// ("https://api.lumo.invalid" and "https://share.lumo.invalid"), which never resolve, so that a
// host that forgets to configure them fails loudly instead of talking to a wrong server. The
// host sets the real ones once at start-up, before it creates services:
//
//   APISettings::setServiceAddresses({"https://api.example.com", "https://cdn.example.com"});
//
// and the tests do the same with the reference service's addresses (LUMO_API_BASE and
// LUMO_SHARE_BASE). Every `API` value reads `apiBaseUrl` when it is made; `APISettings` and
// `Settings` read `shareDomain` when they are constructed. Trailing slashes are dropped.
// Reading and setting are thread-safe.
class LUMO_API APISettings : public APISettingsService {
 public:
  static constexpr const char* kPlaceholderAPIBaseUrl = "https://api.lumo.invalid";
  static constexpr const char* kPlaceholderShareDomain = "https://share.lumo.invalid";

  // The process-wide addresses.
  static ServiceAddresses serviceAddresses();
  static void setServiceAddresses(ServiceAddresses addresses);

  // Takes `domain` from the process-wide `shareDomain`.
  APISettings();

  std::string domain() const override { return domain_; }
  std::optional<Url> shareURLHost() const override { return Url::parse(domain_); }

 private:
  const std::string domain_;
};

}  // namespace lumo
