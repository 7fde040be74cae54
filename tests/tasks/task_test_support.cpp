#include "task_test_support.h"

#include <stdlib.h>

#include <fstream>
#include <random>

#include "lumo/account/UserAccountStoreService.h"
#include "lumo/api/APISettings.h"
#include "lumo/api/JSONEncoder.h"
#include "lumo/registry/Resolver.h"
#include "lumo/sharing/ShareURLHelper.h"
#include "lumo/storage/LocalFilesManager.h"

namespace lumo::tasktest {

bool isUpperCaseUUID(const std::string& text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (i == 8 || i == 13 || i == 18 || i == 23 ? c != '-'
                                                : (c < '0' || c > '9') && (c < 'A' || c > 'F'))
      return false;
  }
  return text.size() == 36;
}

Bytes randomBytes(std::size_t size) {
  static std::mutex mu;
  static std::mt19937_64 rng(std::random_device{}());
  std::lock_guard lock(mu);
  Bytes out(size);
  for (auto& byte : out) byte = static_cast<std::uint8_t>(rng());
  return out;
}

void RecordingDelegate::add(const NetworkTask& task, Event event) {
  event.taskFinished = task.isFinished();
  event.onMainThread = DispatchQueue::isMainThread();
  event.thread = std::this_thread::get_id();
  events_.add(std::move(event));
}

std::vector<Event> RecordingDelegate::events(const std::string& kind) const {
  std::vector<Event> out;
  for (const Event& e : events_()) {
    if (kind.empty() || e.kind == kind) out.push_back(e);
  }
  return out;
}

std::vector<Event> RecordingDelegate::finals() const {
  std::vector<Event> out;
  for (const Event& e : events_()) {
    if (e.kind.find("Started") == std::string::npos && e.kind != "ProgressUpdated")
      out.push_back(e);
  }
  return out;
}

test::RecordingLog& ServiceTaskTest::log() {
  static const auto log = std::make_shared<test::RecordingLog>();
  return *log;
}

void ServiceTaskTest::SetUp() {
  std::string whyNot;
  ASSERT_TRUE(dev_ = test::DevService::get(&whyNot)) << whyNot;
  static const bool installed = [] {
    // The account store keeps its token in the defaults: a private folder keeps the user's own.
    ::setenv("XDG_CONFIG_HOME", test::makeTempDir("lumo-tasks").c_str(), 1);
    test::installAccountServices();
    Resolver::registerInMain<LogService>(
        [] { return std::shared_ptr<LogService>(&log(), [](auto) {}); });
    Resolver::registerInMain<APISettingsService>([] { return std::make_shared<APISettings>(); });
    Resolver::registerInMain<ShareURLHelperService>(
        [] { return std::make_shared<ShareURLHelper>(); });
    Resolver::registerInMain<LocalFilesService>(
        [] { return std::make_shared<LocalFilesManager>(); });
    return true;
  }();
  useToken(installed);
  since_ = test::nowForLog();
  dir_ = test::makeTempDir("lumo-tasks");
}

void ServiceTaskTest::useToken(bool signedIn) {
  auto store = Resolver::resolveFromRoot<UserAccountStoreService>();
  signedIn ? store->login(test::DevService::get(nullptr)->token) : store->logout();
}

void ServiceTaskTest::run(const std::shared_ptr<NetworkTask>& task) {
  queue_.addOperation(task);
  ASSERT_TRUE(waitForFinal());
  MainQueue::runFor(std::chrono::milliseconds(300));  // a second final call would come by now
  expectEndedOnce(*task);
}

bool ServiceTaskTest::waitForFinal() const {
  return MainQueue::runUntil([this] { return !delegate_->finals().empty(); },
                             std::chrono::seconds(60));
}

void ServiceTaskTest::expectEndedOnce(const NetworkTask& task) {
  EXPECT_EQ(delegate_->finals().size(), 1u);
  EXPECT_TRUE(task.isFinished() && !task.isExecuting());
  for (const Event& e : delegate_->finals()) EXPECT_TRUE(e.taskFinished) << e.kind;
  EXPECT_TRUE(MainQueue::runUntil([this] { return queue_.operationCount() == 0; },
                                  std::chrono::seconds(30)));
}

Event ServiceTaskTest::final() const {
  const auto finals = delegate_->finals();
  return finals.empty() ? Event{.kind = "none"} : finals.front();
}

std::filesystem::path ServiceTaskTest::write(const std::string& name, const Bytes& bytes) const {
  std::ofstream(dir_ / name, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  return dir_ / name;
}

std::vector<json> ServiceTaskTest::calls(const std::string& route, const std::string& key) const {
  const auto body = JSONEncoder::encodeJSON({{"key", key}});
  std::vector<json> out;
  for (const json& call : dev_->requests("/api/v1/" + route + "/")) {
    if (body && call["body_size"] == body->size() && call["time"] >= since_) out.push_back(call);
  }
  return out;
}

std::int64_t ServiceTaskTest::served(const std::string& key) const {
  return dev_->call("GET", dev_->shareBase + "/" + key).status;
}

}  // namespace lumo::tasktest
