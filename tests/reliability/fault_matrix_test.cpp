// Every network step of sharing against the faults of the reference service that the library
// tells apart (`eval "$(scripts/devstack start)"`): the step gives the outcome the library's
// rules give, with exactly one final report, an empty upload queue, no temporary file left and
// a next share that works. The matrix of outcomes goes into docs/reliability.md.

#include <gtest/gtest.h>

#include <sstream>
#include <tuple>

#include "DevService.h"
#include "ReliabilityReport.h"
#include "ShareTestHost.h"
#include "lumo/account/Content.h"
#include "lumo/account/ProfileUpdateService.h"
#include "lumo/account/UserAccountStore.h"
#include "lumo/capture/ScreenCaptureUrl.h"
#include "lumo/capture/Screenshot.h"
#include "lumo/registry/Resolver.h"

namespace lumo::sharetest {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

// Short enough that the stall row stays short, long enough for a loaded machine's normal answers.
constexpr std::chrono::milliseconds kIdleTimeout{3000};

enum Step { start, storage, complete, remove, profile, check };
const std::vector<std::pair<std::string, std::string>> kSteps = {  // route, title
    {"upload/start", "upload/start"},       {"storage", "storage post"},
    {"upload/complete", "upload/complete"}, {"upload/delete", "upload/delete"},
    {"profile/me", "profile/me"},           {"cdn", "remote HEAD"}};

// What the library's rules give, by step: a failed "upload/start" ends the upload in error; the
// storage post's HTTP status is not looked at, only transport failures count; the answer of
// "upload/complete" is ignored; a delete fails on anything but a 2xx with JSON or no body, a
// profile refresh on anything but a 2xx with its JSON; a remote check reports a 2xx as on the
// server, a 403 as not, and changes nothing otherwise. A 2xx with a body the client cannot use
// is the sharper test of truncated and empty bodies: an error status fails before the body is
// looked at. Other statuses and error bodies give what the 500 gives.
const std::string E = "error", U = "uploaded", N = "notUploaded", X = "unchanged";
const std::vector<std::tuple<std::string, json, std::vector<std::string>>> kFaults = {
    {"500, HTML page", {{"status", 500}, {"body_kind", "html"}}, {E, U, U, X, E, X}},
    {"403", {{"status", 403}}, {E, U, U, X, E, N}},
    {"200, truncated JSON", {{"status", 200}, {"body_kind", "truncated_json"}}, {E, U, U, X, E, U}},
    {"200, empty body", {{"status", 200}, {"body_kind", "empty"}}, {E, U, U, N, E, U}},
    // libcurl sends a request again, up to five times, when a reused connection closes before
    // any answer: every attempt is dropped.
    {"dropped after 16 request bytes",
     {{"drop_after_bytes", 16}, {"count", 6}},
     {E, E, U, X, E, X}},
    // libcurl judges the speed over a moving window of about five seconds, so a stall is noticed
    // up to that long after the idle timeout: the answer comes well after both.
    {"answer stalls past the idle timeout",
     {{"status", 200}, {"delay_ms", 6 * kIdleTimeout.count()}},
     {E, E, U, X, E, X}}};

// What the profile refresh writes, to show that a failed one writes nothing.
auto storedValues(const UserAccountStore& store) {
  return std::make_tuple(store.email(), store.canUpload(), store.remainingDailyItemsCount(),
                         store.remainingDailyQuotaInBytes(), Content::Limits::maxContentSize(),
                         Content::Limits::maxDailyFilesCount(),
                         Content::Limits::maxLenghtInSeconds());
}

class FaultMatrixTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string whyNot;
    ASSERT_TRUE(dev_ = test::DevService::get(&whyNot)) << whyNot;
    dev_->reset();
    Content::Limits::resetToDefaults();
    host_ = installHost({.thumbnails = false, .maximumIdleTimeout = kIdleTimeout}, dev_->token);
    account_ = std::dynamic_pointer_cast<UserAccountStore>(
        Resolver::resolveFromRoot<UserAccountStoreService>());
    // Values the service does not hold, so that any refresh that got through would show.
    account_->setEmail("before-the-faults@example.invalid");
    account_->setRemainingDailyItemsCount(4242);
    Content::Limits::setMaxLenghtInSeconds(7);
    docs_ = makeDocumentsFolder();
  }
  void TearDown() override {
    if (dev_) settle(host_), dev_->reset();
    Content::Limits::resetToDefaults();
  }

  std::string path(const Screenshot& capture) const {
    return relativeScreenCapturePath(capture.fileURL());
  }
  std::string last(const Screenshot& capture) const {
    const auto states = host_.observer->states(path(capture));
    return states.empty() ? "none" : std::string(rawValue(states.back()));
  }
  std::size_t logged(const std::string& route) const {
    return dev_->requests("/api/v1/" + route).size();
  }
  std::size_t deleteReports() const {
    return host_.log->linesStartingWith("Delete task completed = ").size() +
           host_.log->linesStartingWith("Delete task error = ").size();
  }
  // Shares a new capture and waits for its final report and, when uploaded, its "upload/complete".
  std::unique_ptr<Screenshot> share() {
    static int counter = 0;
    auto capture = std::make_unique<Screenshot>(
        Url::fileURL(docs_ / ("Shot " + std::to_string(++counter) + ".png")));
    writeBytes(capture->fileURL().filePath(), randomBytes(2048));
    const std::size_t completes = logged("upload/complete/");
    host_.manager->share(*capture);
    EXPECT_TRUE(waitUntil([&] { return host_.observer->finalCount(path(*capture)) >= 1; }));
    EXPECT_TRUE(
        waitUntil([&] { return last(*capture) != U || logged("upload/complete/") > completes; }));
    return capture;
  }

  // One cell: the fault queued for the step's route, the step, its outcome once reported, and
  // the number of final reports it made (a remote check that changes nothing makes none).
  std::pair<std::string, std::size_t> cell(Step step, json fault) {
    fault["route"] = kSteps[step].first;
    std::unique_ptr<Screenshot> capture = step >= remove ? share() : nullptr;
    const std::size_t before = capture ? host_.observer->states(path(*capture)).size() : 0,
                      deletes = deleteReports();
    const auto stored = storedValues(*account_);
    auto calls = std::make_shared<std::atomic<int>>(0);
    auto failed = std::make_shared<std::atomic<bool>>(false);
    EXPECT_TRUE(dev_->fault(fault)) << fault;
    if (step < remove) capture = share();
    if (step == remove) host_.manager->deleteScreenCapture(*capture);
    if (step == check) host_.manager->checkScreenCaptureRemoteState(*capture);
    if (step == profile) {
      Resolver::resolveFromRoot<ProfileUpdateService>()->updateProfileIfNeeded([=](auto result) {
        *failed = !result;
        ++*calls;
      });
    }
    EXPECT_TRUE(waitUntil([&] { return step != remove || deleteReports() > deletes; }));
    EXPECT_TRUE(waitUntil([&] { return step != profile || *calls > 0; }));
    // The fault has been taken (what is left of a count no retry took goes with the reset).
    EXPECT_TRUE(waitUntil([&] {
      const json left = dev_->call("GET", "/__dev__/faults").json()["faults"];
      return left.empty() || left[0].value("count", 1) < fault.value("count", 1);
    }));
    MainQueue::drain();
    dev_->reset();
    const auto states =
        capture ? host_.observer->states(path(*capture)) : std::vector<ShareState>{};
    switch (step) {
      case profile:
        EXPECT_EQ(storedValues(*account_), stored) << "stored values changed";
        return {*failed ? E : "refreshed", *calls};
      case remove:
        return {states.size() > before ? std::string(rawValue(states.back())) : X,
                deleteReports() - deletes};
      case check:
        return {states.size() > before ? std::string(rawValue(states.back())) : X,
                states.size() - before};
      default:
        return {last(*capture), host_.observer->finalCount(path(*capture))};
    }
  }

  const test::DevService* dev_ = nullptr;
  Host host_;
  std::shared_ptr<UserAccountStore> account_;
  fs::path docs_;
};

TEST_F(FaultMatrixTest, EveryStepUnderEveryFaultEndsOnceAndLeavesNothingBehind) {
  std::ostringstream table;
  table << "| Fault |";
  for (const auto& [route, title] : kSteps) table << " " << title << " |";
  table << " next share |\n|---|---|---|---|---|---|---|---|\n";
  for (const auto& [title, fault, expected] : kFaults) {
    SCOPED_TRACE(title);
    table << "| " << title << " |";
    for (int step = start; step <= check; ++step) {
      SCOPED_TRACE(kSteps[step].second);
      const auto [outcome, reports] = cell(static_cast<Step>(step), fault);
      EXPECT_EQ(outcome, expected[step]);
      EXPECT_EQ(reports, step == check ? (outcome == X ? 0u : 1u) : 1u);
      if (step == check) {
        table << " "
              << (outcome == N   ? "not on server"
                  : outcome == U ? "on server"
                                 : outcome)
              << " |";
      } else {
        table << " " << outcome << ", " << reports << (reports == 1 ? " call |" : " calls |");
      }
    }
    EXPECT_TRUE(waitUntil([&] { return host_.queue->counts().back() == 0; }, 30s))
        << "upload queue stuck";
    EXPECT_TRUE(host_.manager->currentTasks().empty()) << "uploads still in flight";
    host_.states->waitUntilSaved();
    const fs::path data = prepareProcess() / "data";
    std::vector<std::string> left;  // the library's temporary files
    for (const auto& entry : fs::directory_iterator(data / "lumo")) {
      if (entry.path().filename().native().starts_with(".")) left.push_back(entry.path());
    }
    if (fs::exists(data / "LumoTemp")) {
      for (const auto& entry : fs::directory_iterator(data / "LumoTemp"))
        left.push_back(entry.path());
    }
    EXPECT_EQ(left, std::vector<std::string>{}) << "temporary files left";
    const std::string next = last(*share());
    EXPECT_EQ(next, U) << "next share";
    table << " " << next << " |\n";
  }
  lumo::testing::writeReportSection("fault-matrix", table.str());
}

}  // namespace
}  // namespace lumo::sharetest
