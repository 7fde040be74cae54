#include <stdlib.h>

#include <filesystem>
#include <memory>

#include "lumo/account/UserAccountStore.h"
#include "lumo/api/APISettings.h"
#include "lumo/registry/Resolver.h"
#include "lumo/sharing/ShareURLHelper.h"
#include "lumo/storage/LocalFilesManager.h"
#include "lumo/support/DispatchQueue.h"
#include "lumo/support/Log.h"
#include "task_test_support.h"

namespace lumo::tasktest {

void installServices(const DevStack& stack) {
  static std::shared_ptr<TestEnvironment> environment = [&stack] {
    // The account store keeps its token in the application's defaults: a private folder keeps
    // the tests away from the user's own.
    std::string pattern = (std::filesystem::temp_directory_path() / "lumo-tasks-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) ::setenv("XDG_CONFIG_HOME", pattern.c_str(), 1);
    APISettings::setServiceAddresses({stack.apiBase, stack.shareBase});
    auto shared = std::make_shared<TestEnvironment>();
    Resolver::registerInMain<EnvironmentHelperService>([shared] { return shared; });
    Resolver::registerInMain<LogService>([] {
      return std::make_shared<Log>();
    }).scope(Resolver::application());
    Resolver::registerInMain<UserAccountStoreService>([] {
      return std::make_shared<UserAccountStore>();
    }).scope(Resolver::application());
    Resolver::registerInMain<APISettingsService>([] {
      return std::make_shared<APISettings>();
    }).scope(Resolver::application());
    Resolver::registerInMain<ShareURLHelperService>([] {
      return std::make_shared<ShareURLHelper>();
    }).scope(Resolver::application());
    Resolver::registerInMain<LocalFilesService>([] {
      return std::make_shared<LocalFilesManager>();
    }).scope(Resolver::application());
    return shared;
  }();
  useToken(stack.token);
}

void useToken(const std::optional<std::string>& token) {
  auto store = Resolver::resolveFromRoot<UserAccountStoreService>();
  if (token) {
    store->login(*token);
  } else {
    store->logout();
  }
}

void ServiceTaskTest::SetUp() {
  std::string whyNot;
  stack_ = DevStack::get(&whyNot);
  ASSERT_NE(stack_, nullptr) << whyNot;
  installServices(*stack_);
  since_ = nowForLog();
}

void ServiceTaskTest::TearDown() {
  if (stack_) stack_->captureStorageBodies(false);
}

void ServiceTaskTest::runToEnd(const std::shared_ptr<NetworkTask>& task) {
  queue_.addOperation(task);
  ASSERT_TRUE(delegate_->waitForFinal()) << "the task never made its final call";
  MainQueue::runFor(std::chrono::milliseconds(300));
  expectEndedOnce(*task);
}

void ServiceTaskTest::expectEndedOnce(const NetworkTask& task) {
  EXPECT_EQ(delegate_->finals().size(), 1u);
  EXPECT_TRUE(task.isFinished());
  EXPECT_FALSE(task.isExecuting());
  for (const Event& e : delegate_->finals()) EXPECT_TRUE(e.taskFinished) << e.kind;
  EXPECT_TRUE(
      MainQueue::runUntil([this] { return queue_.operationCount() == 0; }, std::chrono::seconds(5)))
      << "the queue still holds the task";
}

Event ServiceTaskTest::finalEvent() const {
  auto finals = delegate_->finals();
  if (!finals.empty()) return finals.front();
  Event none;
  none.kind = "none";
  return none;
}

std::size_t ServiceTaskTest::completes(const std::string& name) const {
  return stack_->callsWithBodySize("/api/v1/upload/complete/", keyBodySize(name), since_).size();
}

std::int64_t ServiceTaskTest::served(const std::string& name) const {
  return stack_->call("GET", stack_->shareBase + "/" + name).status;
}

}  // namespace lumo::tasktest
