#include <atomic>
#include <future>
#include <iostream>
#include <optional>

#include "Commands.h"
#include "Interrupt.h"
#include "ServiceProbe.h"
#include "lumo/account/Content.h"
#include "lumo/account/ProfileUpdateService.h"
#include "lumo/account/UserAccountStoreService.h"
#include "lumo/api/APISettings.h"
#include "lumo/registry/Resolver.h"
#include "lumo/support/DispatchQueue.h"

namespace lumo::cli {
namespace {

int refuse(Output& output, const std::string& why, int status) {
  output.emit({{"ok", false}, {"error", why}}, "failed: " + why);
  std::cerr << "error: " << why << "\n";
  return status;
}

// A token pasted with its line end or surrounding blanks is the same token.
std::string trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

}  // namespace

// The token is never written anywhere but the account store: not in results, not in errors.
int login(Output& output, std::string token, bool verify) {
  // "-" reads the token from standard input, which keeps it out of the process list.
  if (token == "-" && !std::getline(std::cin, token)) token.clear();
  token = trimmed(token);
  if (token.empty()) return refuse(output, "empty token", 2);
  for (const char c : token) {
    // It travels in the Authorization header: visible ASCII only.
    if (c < '!' || c > '~') {
      return refuse(output,
                    "the token holds a character that cannot go in an HTTP header (a space, a "
                    "control character or a non-ASCII byte); copy it again",
                    2);
    }
  }
  if (verify) {
    if (auto why =
            ServiceProbe::whyTokenRefused(APISettings::serviceAddresses().apiBaseUrl, token)) {
      if (Interrupt::requested()) return 130;
      return refuse(output, *why, 1);
    }
  }
  Resolver::resolveFromRoot<UserAccountStoreService>()->login(token);
  output.emit({{"ok", true}, {"loggedIn", true}}, "logged in");
  return 0;
}

int logout(Output& output) {
  Resolver::resolveFromRoot<UserAccountStoreService>()->logout();
  output.emit({{"ok", true}, {"loggedIn", false}}, "logged out");
  return 0;
}

int profile(Output& output) {
  auto account = Resolver::resolveFromRoot<UserAccountStoreService>();
  if (!account->isLoggedIn()) return refuse(output, "not signed in; run `lumo login TOKEN`", 1);
  auto answer = std::make_shared<std::optional<Result<ProfileResponse>>>();
  auto done = std::make_shared<std::atomic<bool>>(false);
  Resolver::resolveFromRoot<ProfileUpdateService>()->updateProfileIfNeeded(
      [answer, done](Result<ProfileResponse> result) {
        DispatchQueue::main().async([answer, done, result = std::move(result)] {
          *answer = result;
          *done = true;
        });
      });
  while (!*done && !Interrupt::requested()) {
    MainQueue::runUntil([&] { return done->load() || Interrupt::requested(); },
                        std::chrono::milliseconds(100));
  }
  if (!*done) return 130;
  if (!answer->value()) {
    // A refused token reads as an undecodable answer; our own request tells it apart.
    auto refused = ServiceProbe::whyTokenRefused(APISettings::serviceAddresses().apiBaseUrl,
                                                 account->authToken().value_or(""));
    if (refused && *refused == kTokenRefused) return refuse(output, *refused, 1);
    return refuse(output, answer->value().error().localizedDescription(), 1);
  }
  const ProfileResponse& p = answer->value().value();
  const auto monthly = Content::Limits::maxMonthlyFilesQuota();
  nlohmann::json json{{"ok", true},
                      {"email", p.email},
                      {"paid", p.isPaid},
                      {"canUpload", account->canUpload()},
                      {"maxContentSize", Content::Limits::maxContentSize()},
                      {"maxDailyFilesCount", Content::Limits::maxDailyFilesCount()},
                      {"maxDailyFilesQuota", Content::Limits::maxDailyFilesQuota()},
                      {"maxLengthInSeconds", Content::Limits::maxLenghtInSeconds()},
                      {"remainingDailyItemsCount", account->remainingDailyItemsCount()},
                      {"remainingDailyQuotaInBytes", account->remainingDailyQuotaInBytes()},
                      {"remainingMonthlyQuotaInBytes", p.remainingMonthlyQuotaInBytes}};
  if (monthly) json["maxMonthlyFilesQuota"] = *monthly;
  std::string text =
      "email: " + p.email + (p.isPaid ? " (paid)" : " (free)") +
      "\ncan upload: " + (account->canUpload() ? "yes" : "no") +
      "\nlargest upload: " + std::to_string(Content::Limits::maxContentSize()) +
      " bytes\nuploads per day: " + std::to_string(Content::Limits::maxDailyFilesCount()) +
      "\nbytes per day: " + std::to_string(Content::Limits::maxDailyFilesQuota()) +
      "\nlongest screencast: " + std::to_string(Content::Limits::maxLenghtInSeconds()) +
      " s\nuploads left today: " + std::to_string(account->remainingDailyItemsCount()) +
      "\nbytes left today: " + std::to_string(account->remainingDailyQuotaInBytes()) +
      "\nbytes left this month: " + std::to_string(p.remainingMonthlyQuotaInBytes);
  output.emit(json, text);
  return 0;
}

}  // namespace lumo::cli
