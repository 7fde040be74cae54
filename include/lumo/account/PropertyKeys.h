#pragma once

#include <string>

#include "lumo/Export.h"

namespace lumo {

// The user-defaults keys of the account. Each case's raw value is its own name.
//
//   access_token               text: the API token; removed when the token is cleared
//   email                      text: the user's e-mail address; removed by logout()
//   canUpload                  boolean: the user may upload
//   refresh_token              offered to the host; the library stores nothing under it
//   refresh_token_update_date  likewise
//   quota                      8 bytes: remaining daily quota in bytes, unsigned, little-endian
//   items                      8 bytes: remaining uploads today, signed, little-endian
//   finishedTutorial           boolean
enum class PropertyKeys {
  access_token,
  email,
  canUpload,
  refresh_token,
  refresh_token_update_date,
  quota,
  items,
  finishedTutorial,
};

// The key text of `key` ("access_token", ..., "finishedTutorial").
LUMO_API std::string rawValue(PropertyKeys key);

}  // namespace lumo
