// The profile updater against the reference service: what it writes into the account store and
// the plan limits, and what it leaves alone.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <string>

#include "DevService.h"
#include "Recorders.h"
#include "lumo/account/Content.h"
#include "lumo/account/ProfileUpdater.h"
#include "lumo/account/PropertyKeys.h"
#include "lumo/account/UserAccountStore.h"
#include "lumo/api/APIError.h"
#include "lumo/registry/Resolver.h"
#include "lumo/support/DispatchQueue.h"
#include "lumo/support/NotificationCenter.h"

namespace lumo {
namespace {

using test::DevService;

const std::string kConfigHome = [] {
  std::string dir = test::makeTempDir("lumo-profile-test");
  ::setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
  return dir;
}();

class ProfileUpdaterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string whyNot;
    dev_ = DevService::get(&whyNot);
    if (dev_ == nullptr) FAIL() << whyNot;
    test::installAccountServices().debug = true;
    dev_->reset();
    Content::Limits::resetToDefaults();
    store_ = std::dynamic_pointer_cast<UserAccountStore>(
        Resolver::resolveFromRoot<UserAccountStoreService>());
    ASSERT_TRUE(store_);
    for (PropertyKeys key :
         {PropertyKeys::email, PropertyKeys::canUpload, PropertyKeys::quota, PropertyKeys::items}) {
      ASSERT_TRUE(store_->storage().removeObject(rawValue(key)).ok());
    }
    store_->login(dev_->token);
    updater_ = std::make_shared<ProfileUpdater>();
  }

  // The refresh's result; fails the test when none arrives within 30 s.
  Result<ProfileResponse> refresh() {
    std::promise<Result<ProfileResponse>> promise;
    updater_->updateProfileIfNeeded(
        [&](Result<ProfileResponse> r) { promise.set_value(std::move(r)); });
    auto future = promise.get_future();
    if (future.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
      ADD_FAILURE() << "no completion";
      return Error::transport("test", 0, "no completion");
    }
    return future.get();
  }

  const DevService* dev_ = nullptr;
  std::shared_ptr<UserAccountStore> store_;
  std::shared_ptr<ProfileUpdater> updater_;
};

TEST_F(ProfileUpdaterTest, LoggedOutSendsNothingAndNeverCompletes) {
  store_->logout();
  std::atomic<int> calls{0};
  updater_->updateProfileIfNeeded([&](Result<ProfileResponse>) { ++calls; });
  // A request sent by the logged-out call would reach the service before the next one ends.
  store_->login(dev_->token);
  ASSERT_TRUE(refresh().ok());
  EXPECT_EQ(calls.load(), 0);
  EXPECT_EQ(dev_->requests("/api/").size(), 1u);
}

TEST_F(ProfileUpdaterTest, SuccessWritesAccountAndPlanLimits) {
  Result<ProfileResponse> p = refresh();
  ASSERT_TRUE(p.ok()) << p.error().localizedDescription();
  EXPECT_EQ(store_->email(), p->email);
  EXPECT_EQ(store_->canUpload(), p->canUpload);
  EXPECT_EQ(store_->remainingDailyItemsCount(), p->remainingDailyItemsCount);
  EXPECT_EQ(store_->remainingDailyQuotaInBytes(), p->remainingDailyQuotaInBytes);
  EXPECT_EQ(Content::Limits::maxDailyFilesCount(), p->maxDailyFilesCount);
  EXPECT_EQ(Content::Limits::maxContentSize(), p->maxContentSize);
  EXPECT_EQ(Content::Limits::maxDailyFilesQuota(), p->maxDailyFilesQuotaInBytes);
  EXPECT_EQ(Content::Limits::maxLenghtInSeconds(), p->maxLengthInSeconds);
  EXPECT_EQ(Content::Limits::maxMonthlyFilesQuota(), p->maxMonthlyFilesQuotaInBytes);
  ASSERT_TRUE(store_->currentUser());
  EXPECT_EQ(store_->currentUser()->email, p->email);
}

TEST_F(ProfileUpdaterTest, AccountWithoutUploadsBecomesFree) {
  const std::string small = dev_->tokenOf("small");
  ASSERT_FALSE(small.empty());
  dev_->overrideAccount(small, {{"can_upload", false}, {"remaining_daily_items_count", 0}});
  store_->setCanUpload(true);
  store_->login(small);
  Result<ProfileResponse> p = refresh();
  ASSERT_TRUE(p.ok()) << p.error().localizedDescription();
  EXPECT_FALSE(store_->canUpload());
  EXPECT_EQ(store_->remainingDailyItemsCount(), 0);
  EXPECT_EQ(store_->currentUser()->userType, UserType::free);
  EXPECT_EQ(Content::Limits::maxContentSize(), 1048576u);
  EXPECT_EQ(Content::Limits::maxDailyFilesCount(), 3);
}

TEST_F(ProfileUpdaterTest, FailedRefreshIsLoggedAndChangesNothing) {
  const std::string body = R"({"email": "x@example.com", "is_active": true})";
  for (const nlohmann::json& fault :
       {nlohmann::json{{"status", 500}, {"body_kind", "html"}},
        nlohmann::json{{"status", 200}, {"body", body}},
        nlohmann::json{{"status", 403}, {"body", R"({"errors": ["No uploads"]})"}}}) {
    nlohmann::json f = fault;
    f["route"] = "profile/me";
    std::string captured;
    Result<ProfileResponse> r = Error::transport("test", 0, "unset");
    // The service is shared: when another process's read takes the fault first, this refresh
    // succeeds, and it is tried again from the same values.
    for (int attempt = 0; attempt < 3 && (attempt == 0 || r.ok()); ++attempt) {
      store_->setEmail("before@example.com");
      store_->setRemainingDailyItemsCount(42);
      Content::Limits::resetToDefaults();
      dev_->fault(f);
      ::testing::internal::CaptureStdout();
      r = refresh();
      captured = ::testing::internal::GetCapturedStdout();
    }
    ASSERT_FALSE(r.ok()) << fault.dump();
    EXPECT_TRUE(r.error().is<APIError>()) << r.error().localizedDescription();
    EXPECT_NE(captured.find("Error update profile"), std::string::npos) << captured;
    EXPECT_EQ(captured.find(store_->authToken().value()), std::string::npos);
    EXPECT_EQ(store_->email(), "before@example.com");
    EXPECT_EQ(store_->remainingDailyItemsCount(), 42);
    EXPECT_EQ(Content::Limits::maxMonthlyFilesQuota(), std::nullopt);
  }
}

TEST_F(ProfileUpdaterTest, UnauthorisedAnswerPostsNothingUntilTheHostDoes) {
  store_->setEmail("ann@example.com");
  store_->login("revoked-token");
  std::atomic<int> posted{0};
  auto token = NotificationCenter::defaultCenter().addObserver(
      NotificationName::APIReceiveUnauthStatusCode, std::nullopt,
      [&](const Notification&) { ++posted; });
  Result<ProfileResponse> r = refresh();
  ASSERT_FALSE(r.ok());
  MainQueue::drain();
  EXPECT_EQ(posted.load(), 0);
  EXPECT_TRUE(store_->isLoggedIn());

  // The host saw the 401 and tells the store.
  NotificationCenter::defaultCenter().post(NotificationName::APIReceiveUnauthStatusCode);
  EXPECT_TRUE(MainQueue::runUntil([&] { return !store_->isLoggedIn(); }, std::chrono::seconds(5)));
  NotificationCenter::defaultCenter().removeObserver(token);
  EXPECT_FALSE(store_->storage().object("access_token"));
  EXPECT_EQ(store_->email(), "ann@example.com");
}

TEST_F(ProfileUpdaterTest, AnswerAfterTheUpdaterIsGoneIsIgnored) {
  dev_->fault({{"route", "profile/me"}, {"delay_ms", 500}});
  std::atomic<int> calls{0};
  updater_->updateProfileIfNeeded([&](Result<ProfileResponse>) { ++calls; });
  updater_.reset();
  // The service logs the status as it answers; a callback would follow within moments.
  ASSERT_TRUE(MainQueue::runUntil(
      [&] {
        const auto log = dev_->requests("/api/");
        return !log.empty() && !log[0]["status"].is_null();
      },
      std::chrono::seconds(30)));
  MainQueue::runFor(std::chrono::milliseconds(200));
  EXPECT_EQ(calls.load(), 0);
  EXPECT_EQ(store_->email(), std::nullopt);
  EXPECT_EQ(dev_->requests("/api/").size(), 1u);
}

// A store of the host's own class gets nothing written; the profile still reaches the caller.
class HostAccountStore : public UserAccountStoreService {
 public:
  explicit HostAccountStore(std::string token) : token_(std::move(token)) {}
  bool isLoggedIn() const override { return true; }
  std::optional<User> currentUser() const override { return std::nullopt; }
  bool canUpload() const override { return false; }
  bool finishedTutorial() const override { return false; }
  void setFinishedTutorial(bool) override {}
  std::int64_t remainingDailyItemsCount() const override { return 0; }
  std::uint64_t remainingDailyQuotaInBytes() const override { return 0; }
  std::optional<std::string> authToken() const override { return token_; }
  void login(std::string) override {}
  void logout() override {}

 private:
  std::string token_;
};

TEST_F(ProfileUpdaterTest, StoreOfAnotherClassGetsNothingWritten) {
  auto root = Resolver::root();
  auto child = std::make_shared<Resolver>(root);
  const std::string token = dev_->token;
  child
      ->registerService<UserAccountStoreService>(
          [token] { return std::make_shared<HostAccountStore>(token); })
      .scope(Resolver::unique());
  Resolver::setRoot(child);
  updater_ = std::make_shared<ProfileUpdater>();
  Result<ProfileResponse> p = refresh();
  Resolver::setRoot(root);
  ASSERT_TRUE(p.ok()) << p.error().localizedDescription();
  EXPECT_EQ(store_->email(), std::nullopt);
  EXPECT_EQ(Content::Limits::maxMonthlyFilesQuota(), std::nullopt);
}

}  // namespace
}  // namespace lumo
