#include "lumo/account/Settings.h"

#include "lumo/api/APISettings.h"

namespace lumo {

Settings::Settings() : domain_(APISettings::serviceAddresses().shareDomain) {}

}  // namespace lumo
