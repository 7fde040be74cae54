// The account store: defaults of a fresh installation, persistence across a restart (a child
// process reads what this one wrote), the unauthorised notification, and the values the
// service reports.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "DevService.h"
#include "Recorders.h"
#include "lumo/account/Content.h"
#include "lumo/account/PropertyKeys.h"
#include "lumo/account/UserAccountStore.h"
#include "lumo/account/UserDefaultsDataValue.h"
#include "lumo/support/DispatchQueue.h"
#include "lumo/support/NotificationCenter.h"

namespace lumo {
namespace {

const std::string kConfigHome = [] {
  std::string dir = test::makeTempDir("lumo-account-test");
  ::setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
  return dir;
}();

// What a new process reads from the defaults this one wrote.
nlohmann::json readInChildProcess() {
  FILE* pipe = ::popen(LUMO_ACCOUNT_CHILD, "r");
  if (pipe == nullptr) return nullptr;
  std::string out;
  char buffer[4096];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
  EXPECT_EQ(::pclose(pipe), 0) << out;
  return nlohmann::json::parse(out, nullptr, false);
}

class AccountStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::installAccountServices();
    for (PropertyKeys key :
         {PropertyKeys::access_token, PropertyKeys::email, PropertyKeys::canUpload,
          PropertyKeys::quota, PropertyKeys::items, PropertyKeys::finishedTutorial}) {
      ASSERT_TRUE(defaults().removeObject(rawValue(key)).ok());
    }
    Content::Limits::resetToDefaults();
  }

  static UserDefaults& defaults() { return UserDefaults::standard(); }
};

TEST_F(AccountStoreTest, FreshInstallationIsLoggedOutWithThePlanDefaults) {
  auto store = std::make_shared<UserAccountStore>();
  EXPECT_FALSE(store->isLoggedIn());
  EXPECT_EQ(store->authToken(), std::nullopt);
  EXPECT_EQ(store->currentUser(), std::nullopt);
  EXPECT_FALSE(store->canUpload());
  EXPECT_FALSE(store->finishedTutorial());
  EXPECT_EQ(store->remainingDailyItemsCount(), 100);
  EXPECT_EQ(store->remainingDailyQuotaInBytes(), 524288000u);
  // Unreported counts follow the current limits.
  Content::Limits::setMaxDailyFilesCount(7);
  Content::Limits::setMaxDailyFilesQuota(9);
  EXPECT_EQ(store->remainingDailyItemsCount(), 7);
  EXPECT_EQ(store->remainingDailyQuotaInBytes(), 9u);
}

TEST_F(AccountStoreTest, AccountSurvivesARestart) {
  {
    auto store = std::make_shared<UserAccountStore>();
    store->login("token-1");
    store->setEmail("ann@example.com");
    store->setCanUpload(true);
    store->setFinishedTutorial(true);
    store->setRemainingDailyItemsCount(-3);
    store->setRemainingDailyQuotaInBytes(18446744073709551615u);
    ASSERT_TRUE(UserDefaultsDataValue<std::vector<std::string>>("recentLinks")
                    .setWrappedValue(std::vector<std::string>{"https://a", "https://b"})
                    .ok());
  }
  nlohmann::json child = readInChildProcess();
  ASSERT_TRUE(child.is_object()) << child.dump();
  EXPECT_EQ(child["isLoggedIn"], true);
  EXPECT_EQ(child["authToken"], "token-1");
  EXPECT_EQ(child["email"], "ann@example.com");
  EXPECT_EQ(child["canUpload"], true);
  EXPECT_EQ(child["finishedTutorial"], true);
  EXPECT_EQ(child["items"], -3);
  EXPECT_EQ(child["quota"], 18446744073709551615u);
  EXPECT_EQ(child["recentLinks"], nlohmann::json({"https://a", "https://b"}));
  EXPECT_EQ(child["recentLinksIsData"], true);

  // The token read at start-up is the stored one, and logging out is seen by the next process.
  auto store = std::make_shared<UserAccountStore>();
  EXPECT_EQ(store->authToken(), "token-1");
  store->logout();
  child = readInChildProcess();
  EXPECT_EQ(child["isLoggedIn"], false);
  EXPECT_EQ(child["email"], nullptr);
  EXPECT_EQ(child["canUpload"], true);
  EXPECT_EQ(child["finishedTutorial"], true);
  EXPECT_EQ(child["items"], -3);
}

TEST_F(AccountStoreTest, CountsAreStoredAsEightLittleEndianBytes) {
  auto store = std::make_shared<UserAccountStore>();
  store->setRemainingDailyItemsCount(3);
  EXPECT_EQ(defaults().data("items"), (UserDefaults::Data{3, 0, 0, 0, 0, 0, 0, 0}));
  store->setRemainingDailyItemsCount(-2);
  EXPECT_EQ(defaults().data("items"),
            (UserDefaults::Data{0xfe, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}));
  store->setRemainingDailyQuotaInBytes(0x0102030405060708u);
  EXPECT_EQ(defaults().data("quota"), (UserDefaults::Data{8, 7, 6, 5, 4, 3, 2, 1}));
  EXPECT_EQ(store->remainingDailyQuotaInBytes(), 0x0102030405060708u);

  // Data written by others: empty reads 0, short reads its low bytes, long its first eight.
  ASSERT_TRUE(defaults().set(UserDefaults::Data{}, "items").ok());
  EXPECT_EQ(store->remainingDailyItemsCount(), 0);
  ASSERT_TRUE(defaults().set(UserDefaults::Data{5}, "items").ok());
  EXPECT_EQ(store->remainingDailyItemsCount(), 5);
  ASSERT_TRUE(defaults().set(UserDefaults::Data{1, 0, 0, 0, 0, 0, 0, 0, 9, 9}, "quota").ok());
  EXPECT_EQ(store->remainingDailyQuotaInBytes(), 1u);
  // A value of another type is no data: the limit answers.
  ASSERT_TRUE(defaults().set(std::int64_t{4}, "items").ok());
  EXPECT_EQ(store->remainingDailyItemsCount(), 100);
}

TEST_F(AccountStoreTest, CurrentUserFollowsEmailAndUploadRight) {
  auto store = std::make_shared<UserAccountStore>();
  store->setCanUpload(true);
  EXPECT_EQ(store->currentUser(), std::nullopt);  // no e-mail, no user
  store->setEmail("ann@example.com");
  ASSERT_TRUE(store->currentUser());
  EXPECT_EQ(store->currentUser()->userType, UserType::paid);
  store->setCanUpload(false);
  EXPECT_EQ(store->currentUser()->userType, UserType::free);
  store->setEmail(std::nullopt);
  EXPECT_FALSE(defaults().object("email"));
}

TEST_F(AccountStoreTest, LogoutDropsTokenAndEmailOnly) {
  auto store = std::make_shared<UserAccountStore>();
  store->login("t");
  store->setEmail("ann@example.com");
  store->setCanUpload(true);
  store->setRemainingDailyItemsCount(4);
  store->setFinishedTutorial(true);
  store->logout();
  EXPECT_FALSE(store->isLoggedIn());
  EXPECT_FALSE(defaults().object("access_token"));
  EXPECT_FALSE(defaults().object("email"));
  EXPECT_TRUE(store->canUpload());
  EXPECT_EQ(store->remainingDailyItemsCount(), 4);
  EXPECT_TRUE(store->finishedTutorial());
}

TEST_F(AccountStoreTest, UnauthorisedNotificationDropsTheTokenAndKeepsTheRest) {
  auto store = std::make_shared<UserAccountStore>();
  store->login("t");
  store->setEmail("ann@example.com");
  store->setCanUpload(true);
  NotificationCenter::defaultCenter().post(NotificationName::APIReceiveUnauthStatusCode);
  // Delivered on the main queue.
  EXPECT_TRUE(MainQueue::runUntil([&] { return !store->isLoggedIn(); }, std::chrono::seconds(5)));
  EXPECT_FALSE(defaults().object("access_token"));
  ASSERT_TRUE(store->currentUser());
  EXPECT_EQ(store->currentUser()->email, "ann@example.com");
  EXPECT_TRUE(store->canUpload());
}

TEST_F(AccountStoreTest, NotificationAfterTheStoreIsGoneDoesNothing) {
  auto store = std::make_shared<UserAccountStore>();
  store->login("t");
  NotificationCenter::defaultCenter().post(NotificationName::APIReceiveUnauthStatusCode);
  store.reset();  // before the main queue delivers
  MainQueue::drain();
  // The token the store left behind stays: nobody observed the notification any more.
  EXPECT_EQ(defaults().string("access_token"), "t");
  NotificationCenter::defaultCenter().post(NotificationName::APIReceiveUnauthStatusCode);
  MainQueue::drain();
  EXPECT_EQ(defaults().string("access_token"), "t");
}

TEST_F(AccountStoreTest, TokenChangesFromManyThreadsLeaveMemoryAndDefaultsAgreeing) {
  auto store = std::make_shared<UserAccountStore>();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) {
        if ((i + t) % 3 == 0) {
          store->setAuthToken(std::nullopt);
        } else {
          store->login("token-" + std::to_string(t) + "-" + std::to_string(i));
        }
        (void)store->authToken();
        (void)store->isLoggedIn();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(store->authToken(), defaults().string("access_token"));
}

TEST(ContentLimitsTest, DefaultsAndConcurrentUpdates) {
  Content::Limits::resetToDefaults();
  EXPECT_EQ(Content::Limits::maxLenghtInSeconds(), 120);
  EXPECT_EQ(Content::Limits::maxContentSize(), 52428800u);
  EXPECT_EQ(Content::Limits::maxDailyFilesCount(), 100);
  EXPECT_EQ(Content::Limits::maxDailyFilesQuota(), 524288000u);
  EXPECT_EQ(Content::Limits::maxMonthlyFilesQuota(), std::nullopt);

  std::thread writer([] {
    for (std::uint64_t i = 0; i < 1000; ++i) {
      Content::Limits::setMaxContentSize(i);
      Content::Limits::setMaxMonthlyFilesQuota(i % 2 ? std::optional<std::uint64_t>(i)
                                                     : std::nullopt);
    }
  });
  for (int i = 0; i < 1000; ++i) {
    std::optional<std::uint64_t> monthly = Content::Limits::maxMonthlyFilesQuota();
    if (monthly) {
      EXPECT_EQ(*monthly % 2, 1u);
    }
    const std::uint64_t size = Content::Limits::maxContentSize();
    EXPECT_TRUE(size < 1000 || size == 52428800u) << size;  // a written value, never a torn one
  }
  writer.join();
  Content::Limits::resetToDefaults();
}

TEST(UserTest, InternalAndLimitedFollowTheLastDomain) {
  User staff{"ann@lumo.app", UserType::paid};
  EXPECT_EQ(staff.isInternal(), true);
  EXPECT_EQ(staff.isLimited(), false);
  User outside{"ann@example.com", UserType::free};
  EXPECT_EQ(outside.isInternal(), false);
  EXPECT_EQ(outside.isLimited(), true);
  // Only the piece after the last "@" counts, compared exactly.
  EXPECT_EQ((User{"lumo.app@example.com", UserType::free}).isInternal(), false);
  EXPECT_EQ((User{"a@b@lumo.app", UserType::free}).isInternal(), true);
  EXPECT_EQ((User{"ann@LUMO.APP", UserType::free}).isInternal(), false);
  EXPECT_EQ((User{"no-at-sign", UserType::free}).isInternal(), false);
  EXPECT_EQ((User{"lumo.app@", UserType::free}).isInternal(), true);
  for (const char* empty : {"", "@", "@@"}) {
    EXPECT_EQ((User{empty, UserType::free}).isInternal(), std::nullopt) << empty;
    EXPECT_EQ((User{empty, UserType::free}).isLimited(), std::nullopt) << empty;
  }
}

}  // namespace
}  // namespace lumo
