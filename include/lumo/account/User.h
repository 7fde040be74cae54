#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "lumo/Export.h"
#include "lumo/account/UserType.h"
#include "lumo/api/DecodingContainer.h"

namespace lumo {

// The signed-in user as the account store describes it.
//
// JSON form: {"email": "...", "userType": "free" | "paid"}.
struct LUMO_API User {
  // The service's own e-mail domain: addresses there belong to staff accounts.
  static constexpr const char* kServiceEmailDomain = "lumo.app";

  std::string email;                   // "email"
  UserType userType = UserType::free;  // "userType"

  // Whether the account is an outside one: the text after the last "@" of `email` is not the
  // service's own domain (compared exactly). Absent when `email` has no non-empty piece around
  // its "@"s ("", "@", "@@").
  std::optional<bool> isLimited() const;
  // The reverse: the text after the last "@" is the service's own domain. Absent as above.
  std::optional<bool> isInternal() const;

  static User decode(DecodingContainer& c);
  nlohmann::json encode() const;

  friend bool operator==(const User&, const User&) = default;
};

}  // namespace lumo
