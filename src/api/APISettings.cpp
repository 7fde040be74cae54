#include "lumo/api/APISettings.h"

#include <mutex>
#include <utility>

namespace lumo {
namespace {

struct AddressStore {
  std::mutex mu;
  ServiceAddresses addresses{APISettings::kPlaceholderAPIBaseUrl,
                             APISettings::kPlaceholderShareDomain};  // guarded by mu
};

// Created on first use and never destroyed, so that services released during exit can still
// read it.
AddressStore& store() {
  static auto* s = new AddressStore();
  return *s;
}

std::string withoutTrailingSlashes(std::string text) {
  while (!text.empty() && text.back() == '/') text.pop_back();
  return text;
}

}  // namespace

ServiceAddresses APISettings::serviceAddresses() {
  AddressStore& s = store();
  std::lock_guard lock(s.mu);
  return s.addresses;
}

void APISettings::setServiceAddresses(ServiceAddresses addresses) {
  addresses.apiBaseUrl = withoutTrailingSlashes(std::move(addresses.apiBaseUrl));
  addresses.shareDomain = withoutTrailingSlashes(std::move(addresses.shareDomain));
  AddressStore& s = store();
  std::lock_guard lock(s.mu);
  s.addresses = std::move(addresses);
}

APISettings::APISettings() : domain_(serviceAddresses().shareDomain) {}

}  // namespace lumo
