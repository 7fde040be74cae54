#pragma once

#include <optional>
#include <string>

#include "lumo/Export.h"
#include "lumo/platform/Url.h"

namespace lumo {

// The base address of share links: the content-delivery host from which shared captures are
// served. Not the API's address (see `API::baseUrl()`).
class LUMO_API APISettingsService {
 public:
  virtual ~APISettingsService() = default;

  // The share-link base address: an https URL without trailing slash.
  virtual std::string domain() const = 0;
  // `domain()` parsed as a URL; absent when it does not parse.
  virtual std::optional<Url> shareURLHost() const = 0;
};

}  // namespace lumo
