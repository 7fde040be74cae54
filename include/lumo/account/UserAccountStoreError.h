#pragma once

#include <string>

namespace lumo {

// The account store's error: an API call needed the token and none is held.
enum class UserAccountStoreError { missingAuthToken };

inline std::string localizedDescription(UserAccountStoreError) {
  return "You are not signed in: no API token is stored.";
}

}  // namespace lumo
