#pragma once

#include <optional>
#include <string>

#include "lumo/Export.h"
#include "lumo/account/SettingsService.h"

namespace lumo {

// The library's `SettingsService`. `domain` is the same value as `APISettings::domain()`: the
// process-wide share domain (see `APISettings::setServiceAddresses`) read at construction.
class LUMO_API Settings : public SettingsService {
 public:
  Settings();

  std::string domain() const override { return domain_; }
  std::optional<Url> shareURLHost() const override { return Url::parse(domain_); }

 private:
  const std::string domain_;
};

}  // namespace lumo
