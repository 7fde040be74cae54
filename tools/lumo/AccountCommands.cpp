#include <atomic>
#include <future>
#include <iostream>
#include <optional>

#include "Commands.h"
#include "Interrupt.h"
#include "lumo/account/Content.h"
#include "lumo/account/ProfileUpdateService.h"
#include "lumo/account/UserAccountStoreService.h"
#include "lumo/registry/Resolver.h"
#include "lumo/support/DispatchQueue.h"

namespace lumo::cli {

// The token is never written anywhere but the account store: not in results, not in errors.
int login(Output& output, std::string token) {
  // "-" reads the token from standard input, which keeps it out of the process list.
  if (token == "-" && !std::getline(std::cin, token)) token.clear();
  if (token.empty()) {
    output.emit({{"ok", false}, {"error", "empty token"}}, "failed: empty token");
    return 2;
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
  if (!account->isLoggedIn()) {
    output.emit({{"ok", false}, {"error", "not logged in"}},
                "failed: not logged in (run `lumo login TOKEN`)");
    return 1;
  }
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
    const std::string why = answer->value().error().localizedDescription();
    output.emit({{"ok", false}, {"error", why}}, "failed: " + why);
    return 1;
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
