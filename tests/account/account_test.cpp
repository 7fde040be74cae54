// The account layer: the account store (a fresh installation, the keys and forms it keeps in the
// defaults that earlier versions read, the unauthorised notification), the stored-value
// wrappers, the settings, and the profile updater against the reference service. That the
// defaults survive a restart is the platform suite's to show.

#include <gtest/gtest.h>

#include <future>
#include <thread>
#include <tuple>

#include "DevService.h"
#include "Recorders.h"
#include "lumo/account/Content.h"
#include "lumo/account/ProfileUpdater.h"
#include "lumo/account/PropertyKeys.h"
#include "lumo/account/Settings.h"
#include "lumo/account/UserAccountStore.h"
#include "lumo/account/UserDefaultsDataValue.h"
#include "lumo/account/UserDefaultsOptionalValue.h"
#include "lumo/account/UserDefaultsValue.h"
#include "lumo/api/APIError.h"
#include "lumo/api/APISettings.h"
#include "lumo/registry/Resolver.h"
#include "lumo/support/NotificationCenter.h"

namespace lumo {
namespace {

using Data = UserDefaults::Data;
using L = Content::Limits;

UserDefaults& defaults() {
  return UserDefaults::standard();
}

class AccountStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::installAccountServices();
    for (int key = 0; key <= static_cast<int>(PropertyKeys::finishedTutorial); ++key) {
      ASSERT_TRUE(defaults().removeObject(rawValue(static_cast<PropertyKeys>(key))).ok());
    }
    Content::Limits::resetToDefaults();
    store_ = std::make_shared<UserAccountStore>();
  }
  std::shared_ptr<UserAccountStore> store_;
};

// A fresh installation is logged out with the plan's defaults; unreported counts follow the limits.
TEST_F(AccountStoreTest, AccountIsKeptUnderItsKeysAndLogoutOrRefusalDropsTokenAndEmailOnly) {
  EXPECT_FALSE(store_->isLoggedIn() || store_->authToken() || store_->currentUser() ||
               store_->canUpload() || store_->finishedTutorial());
  EXPECT_EQ(std::tuple(store_->remainingDailyItemsCount(), store_->remainingDailyQuotaInBytes(),
                       Content::Limits::maxContentSize()),
            std::tuple(100, 524288000u, 52428800u));
  Content::Limits::setMaxDailyFilesCount(7);
  Content::Limits::setMaxDailyFilesQuota(9);
  EXPECT_EQ(std::tuple(store_->remainingDailyItemsCount(), store_->remainingDailyQuotaInBytes()),
            std::tuple(7, 9u));
  store_->login("token-1");
  store_->setEmail("ann@example.com");
  store_->setCanUpload(true);
  store_->setFinishedTutorial(true);
  store_->setRemainingDailyItemsCount(-2);
  store_->setRemainingDailyQuotaInBytes(0x0102030405060708u);
  EXPECT_EQ(std::tuple(defaults().string("access_token"), defaults().string("email")),
            std::tuple("token-1", "ann@example.com"));
  EXPECT_TRUE(defaults().boolValue("canUpload") && defaults().boolValue("finishedTutorial"));
  EXPECT_EQ(defaults().data("items"), (Data{0xfe, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}));
  EXPECT_EQ(defaults().data("quota"), (Data{8, 7, 6, 5, 4, 3, 2, 1}));
  auto next = std::make_shared<UserAccountStore>();  // as the next start reads them
  EXPECT_EQ(std::tuple(next->authToken(), next->currentUser(), next->remainingDailyQuotaInBytes()),
            std::tuple("token-1", User{"ann@example.com", UserType::paid}, 0x0102030405060708u));

  store_->logout();
  EXPECT_FALSE(defaults().object("access_token") || defaults().object("email"));
  next = std::make_shared<UserAccountStore>();
  EXPECT_TRUE(!next->isLoggedIn() && next->canUpload() && next->finishedTutorial());
  next.reset();  // so that only store_ observes the notification below

  // Counts written by others: empty reads 0, short its low bytes, long its first eight, and a
  // value of another type is none, so the limit answers.
  const std::pair<UserDefaults::Value, std::int64_t> items[] = {
      {Data{}, 0}, {Data{5}, 5}, {Data{1, 0, 0, 0, 0, 0, 0, 0, 9, 9}, 1}, {std::int64_t{4}, 7}};
  for (const auto& [value, count] : items) {
    ASSERT_TRUE(defaults().set(value, "items").ok());
    EXPECT_EQ(store_->remainingDailyItemsCount(), count);
  }

  // The unauthorised notification drops the token of a live store only.
  store_->login("t");
  store_->setEmail("ann@example.com");
  NotificationCenter::defaultCenter().post(NotificationName::APIReceiveUnauthStatusCode);
  // Delivered on the main queue.
  EXPECT_TRUE(MainQueue::runUntil([&] { return !store_->isLoggedIn(); }, std::chrono::seconds(30)));
  EXPECT_TRUE(!defaults().object("access_token") && store_->email() == "ann@example.com");

  store_->login("t");
  NotificationCenter::defaultCenter().post(NotificationName::APIReceiveUnauthStatusCode);
  store_.reset();  // before the main queue delivers: nobody observes it any more
  MainQueue::drain();
  EXPECT_EQ(defaults().string("access_token"), "t");
}

TEST_F(AccountStoreTest, TokenChangesFromManyThreadsLeaveMemoryAndDefaultsAgreeing) {
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < 4; ++t)
      threads.emplace_back([&, t] {
        for (int i = 0; i < 25; ++i)
          (i + t) % 3 ? store_->login("token-" + std::to_string(t)) : store_->logout();
      });
  }
  EXPECT_EQ(store_->authToken(), defaults().string("access_token"));
}

TEST(UserTest, InternalAndLimitedFollowTheLastDomainExactly) {
  const std::pair<const char*, std::optional<bool>> internal[] = {
      {"a@b@lumo.app", true},  {"lumo.app@example.com", false},
      {"ann@LUMO.APP", false}, {"no-at-sign", false},
      {"lumo.app@", true},     {"@@", std::nullopt}};
  for (const auto& [email, isInternal] : internal) {
    EXPECT_EQ((User{email, UserType::free}).isInternal(), isInternal) << email;
    EXPECT_EQ((User{email, UserType::paid}).isLimited(), isInternal ? !*isInternal : isInternal);
  }
}

// What the wrappers add to the typed store (defaults, the integer's range, removal), and the
// settings' domain, which is the process-wide share address.
TEST_F(AccountStoreTest, StoredValuesAndSettingsReadWhatTheirTypeAndRangeAllow) {
  ASSERT_TRUE(defaults().set(std::int64_t{300}, "small").ok() &&
              defaults().set(std::int64_t{-1}, "positive").ok());
  EXPECT_EQ(std::tuple(UserDefaultsValue<std::int8_t>("small", 1).wrappedValue(),
                       UserDefaultsValue<std::uint32_t>("positive", 2).wrappedValue()),
            std::tuple(1, 2u));

  UserDefaultsOptionalValue<std::string> nickname("nickname");
  ASSERT_TRUE(nickname.setWrappedValue("Ann").ok() && nickname.setWrappedValue(std::nullopt).ok());
  EXPECT_FALSE(defaults().object("nickname"));

  using Recent = std::map<std::string, std::vector<int>>;
  UserDefaultsDataValue<Recent> recent("recent");
  ASSERT_TRUE(recent.setWrappedValue(Recent{{"a", {1, 2}}, {"b", {}}}).ok());
  EXPECT_EQ(recent.wrappedValue(), (Recent{{"a", {1, 2}}, {"b", {}}}));
  EXPECT_TRUE(defaults().data("recent"));  // kept as data
  ASSERT_TRUE(defaults().setArchived(nlohmann::json({{"a", {1.5, true}}}), "recent"));
  EXPECT_EQ(recent.wrappedValue(), std::nullopt);
  const ServiceAddresses saved = APISettings::serviceAddresses();
  APISettings::setServiceAddresses({"http://127.0.0.1:9/", "http://127.0.0.1:9/cdn//"});
  EXPECT_EQ(
      std::tuple(Settings().domain(), APISettings().domain(), Settings().shareURLHost()->host()),
      std::tuple("http://127.0.0.1:9/cdn", "http://127.0.0.1:9/cdn", "127.0.0.1"));
  APISettings::setServiceAddresses({"x", "not a url"});
  EXPECT_EQ(Settings().shareURLHost(), std::nullopt);
  APISettings::setServiceAddresses(saved);
}

// The store is the test's own, so that none outlives the test to observe the notification.
class ProfileUpdaterTest : public AccountStoreTest {
 protected:
  void SetUp() override {
    std::string whyNot;
    if (!(dev_ = test::DevService::get(&whyNot))) FAIL() << whyNot;
    AccountStoreTest::SetUp();
    dev_->reset();
    Resolver::setRoot(std::make_shared<Resolver>(root_));
    Resolver::root()->registerService<UserAccountStoreService>([s = store_] { return s; });
    store_->login(dev_->token);
    updater_ = std::make_shared<ProfileUpdater>();
  }
  void TearDown() override { Resolver::setRoot(root_); }

  // The refresh's result; fails the test when none arrives within 30 s.
  Result<ProfileResponse> refresh() {
    std::promise<Result<ProfileResponse>> promise;
    updater_->updateProfileIfNeeded([&](Result<ProfileResponse> r) { promise.set_value(r); });
    auto future = promise.get_future();
    if (future.wait_for(std::chrono::seconds(30)) == std::future_status::ready) return future.get();
    ADD_FAILURE() << "no completion within 30 s";
    return Error::transport("test", 0, "no completion");
  }

  const std::shared_ptr<Resolver> root_ = Resolver::root();
  const test::DevService* dev_ = nullptr;
  std::shared_ptr<ProfileUpdater> updater_;
};

// Every value differs from the store's and from the defaults, so that each one is seen applied.
TEST_F(ProfileUpdaterTest, RefreshWritesTheAccountAndThePlanLimitsAndNothingWhenLoggedOutOrFailed) {
  std::atomic<int> loggedOutCalls{0};
  store_->logout();
  updater_->updateProfileIfNeeded([&](Result<ProfileResponse>) { ++loggedOutCalls; });
  const std::string small = dev_->tokenOf("small");
  ASSERT_TRUE(dev_->overrideAccount(small, {{"can_upload", false},
                                            {"remaining_daily_items_count", 2},
                                            {"remaining_daily_quota_in_bytes", 12345},
                                            {"max_length_in_seconds", 77}}));
  store_->login(small);
  store_->setCanUpload(true);
  store_->setRemainingDailyItemsCount(99);
  store_->setRemainingDailyQuotaInBytes(1);
  Result<ProfileResponse> p = refresh();
  ASSERT_TRUE(p.ok()) << p.error().localizedDescription();
  EXPECT_EQ(std::tuple(store_->currentUser(), store_->canUpload(),
                       store_->remainingDailyItemsCount(), store_->remainingDailyQuotaInBytes()),
            std::tuple(std::optional(User{p->email, UserType::free}), false, 2, 12345u));
  EXPECT_EQ(std::tuple(L::maxContentSize(), L::maxDailyFilesCount(), L::maxDailyFilesQuota(),
                       L::maxMonthlyFilesQuota(), L::maxLenghtInSeconds()),
            std::tuple(1048576u, 3, 2097152u, std::optional(10485760u), 77));
  // A request of the logged-out call would have reached the service before this one ended.
  EXPECT_EQ(loggedOutCalls.load(), 0);
  EXPECT_EQ(dev_->requests("/api/").size(), 1u);

  // A failed refresh is logged, without the token, and changes nothing.
  ASSERT_TRUE(
      dev_->fault({{"route", "profile/me"}, {"status", 200}, {"body", {{"email", "x@e.com"}}}}));
  ::testing::internal::CaptureStdout();
  Result<ProfileResponse> failed = refresh();
  const std::string captured = ::testing::internal::GetCapturedStdout();
  EXPECT_TRUE(!failed.ok() && failed.error().is<APIError>());
  EXPECT_TRUE(captured.find("Error update profile") != std::string::npos &&
              captured.find(small) == std::string::npos)
      << captured;
  EXPECT_EQ(
      std::tuple(store_->email(), store_->remainingDailyQuotaInBytes(), L::maxMonthlyFilesQuota()),
      std::tuple(p->email, 12345u, std::optional(10485760u)));
}

TEST_F(ProfileUpdaterTest, AnswerAfterTheUpdaterIsGoneIsIgnored) {
  ASSERT_TRUE(dev_->fault({{"route", "profile/me"}, {"delay_ms", 500}}));
  auto calls = std::make_shared<std::atomic<int>>(0);
  updater_->updateProfileIfNeeded([calls](Result<ProfileResponse>) { ++*calls; });
  updater_.reset();
  // The service logs the status as it answers; the library then lets the completion go.
  ASSERT_TRUE(MainQueue::runUntil(
      [&] {
        const auto log = dev_->requests("/api/");
        return !log.empty() && !log[0]["status"].is_null() && calls.use_count() == 1;
      },
      std::chrono::seconds(30)));
  EXPECT_EQ(calls->load(), 0);
  EXPECT_EQ(store_->email(), std::nullopt);
}

}  // namespace
}  // namespace lumo
