#pragma once

#include <optional>
#include <string>

#include "lumo/Export.h"
#include "lumo/platform/Url.h"

namespace lumo {

// Settings the host may read: the share-link base address. Implemented by `Settings`.
class LUMO_API SettingsService {
 public:
  virtual ~SettingsService() = default;

  // The share-link base address: an https URL of the delivery host without trailing slash.
  virtual std::string domain() const = 0;
  // `domain()` parsed as a URL; absent when it does not parse.
  virtual std::optional<Url> shareURLHost() const = 0;
};

}  // namespace lumo
