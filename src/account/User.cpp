#include "lumo/account/User.h"

#include <string_view>

namespace lumo {
namespace {

// The last non-empty piece of `email` split at every "@", as the desktop's split drops empty
// pieces: "a@b@c" gives "c", "a@" gives "a", "@" gives nothing.
std::optional<std::string_view> lastPiece(std::string_view email) {
  while (!email.empty() && email.back() == '@') email.remove_suffix(1);
  if (email.empty()) return std::nullopt;
  const auto at = email.rfind('@');
  return at == std::string_view::npos ? email : email.substr(at + 1);
}

}  // namespace

std::optional<bool> User::isLimited() const {
  auto piece = lastPiece(email);
  if (!piece) return std::nullopt;
  return *piece != kServiceEmailDomain;
}

std::optional<bool> User::isInternal() const {
  auto piece = lastPiece(email);
  if (!piece) return std::nullopt;
  return *piece == kServiceEmailDomain;
}

User User::decode(DecodingContainer& c) {
  User user;
  user.email = c.decode<std::string>("email");
  const std::string type = c.decode<std::string>("userType");
  if (c.failed()) return user;
  if (auto t = userTypeFromRawValue(type)) {
    user.userType = *t;
  } else {
    c.reportDataCorrupted("userType",
                          "Cannot initialize UserType from invalid String value " + type);
  }
  return user;
}

nlohmann::json User::encode() const {
  return {{"email", email}, {"userType", rawValue(userType)}};
}

}  // namespace lumo
