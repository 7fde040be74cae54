// Every network step of sharing against every fault the reference service injects
// (`eval "$(scripts/devstack start)"`): the step gives the outcome the library's rules give,
// with exactly one final report, an empty upload queue, no temporary file left and a next share
// that works. The matrix of outcomes goes into docs/reliability.md.
//
// A row runs its six cells at once, each fault queued only when the previous cell has taken its
// own, so that no cell takes another's fault and the stall row waits for the idle timeout once.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

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

enum class Step { start, storage, complete, remove, profile, check };
struct StepCase {
  Step step;
  std::string route, title;
};
// Armed in the reverse order: the calls that no other cell makes first, then "upload/complete"
// before the uploads that send one of their own, then the storage post before the upload that
// fails at "upload/start".
const std::vector<StepCase> kSteps = {{Step::start, "upload/start", "upload/start"},
                                      {Step::storage, "storage", "storage post"},
                                      {Step::complete, "upload/complete", "upload/complete"},
                                      {Step::remove, "upload/delete", "upload/delete"},
                                      {Step::profile, "profile/me", "profile/me"},
                                      {Step::check, "cdn", "remote HEAD"}};

// What the library's rules give, by step in the order of `kSteps`: a failed "upload/start" ends
// the upload in error; the storage post's HTTP status is not looked at, only transport failures
// count; the answer of "upload/complete" is ignored; a delete fails on anything but a 2xx with
// JSON or no body, a profile refresh on anything but a 2xx with its JSON; a remote check reports
// a 2xx as on the server, a 403 as not, and changes nothing otherwise.
struct FaultCase {
  std::string title;
  json fault;
  std::vector<std::string> expected;
};
const std::string E = "error", U = "uploaded", N = "notUploaded", X = "unchanged";
// A 2xx with a body the client cannot use is the sharper test of truncated and empty bodies: an
// error status fails before the body is looked at.
const std::vector<FaultCase> kFaults = {
    {"500, `{\"errors\": [...]}`", {{"status", 500}, {"body_kind", "json"}}, {E, U, U, X, E, X}},
    {"500, HTML page", {{"status", 500}, {"body_kind", "html"}}, {E, U, U, X, E, X}},
    {"401", {{"status", 401}}, {E, U, U, X, E, X}},
    {"403", {{"status", 403}}, {E, U, U, X, E, N}},
    {"200, truncated JSON", {{"status", 200}, {"body_kind", "truncated_json"}}, {E, U, U, X, E, U}},
    {"200, empty body", {{"status", 200}, {"body_kind", "empty"}}, {E, U, U, N, E, U}},
    // libcurl sends a request again, up to five times, when a reused connection closes before
    // any answer: a single drop is hidden by the retry, so every attempt is dropped.
    {"dropped after 16 request bytes",
     {{"drop_after_bytes", 16}, {"count", 6}},
     {E, E, U, X, E, X}},
    {"answer stalls past the idle timeout",
     // libcurl judges the speed over a moving window of about five seconds, so a stall is
     // noticed up to that long after the idle timeout: the answer comes well after both.
     {{"status", 200}, {"delay_ms", 6 * kIdleTimeout.count()}},
     {E, E, U, X, E, X}}};

std::string path(const ScreenCapture& capture) {
  return relativeScreenCapturePath(capture.fileURL());
}

// What the profile refresh writes, to show that a failed one writes nothing.
auto storedValues(const UserAccountStore& store) {
  return std::make_tuple(
      store.email(), store.canUpload(), store.remainingDailyItemsCount(),
      store.remainingDailyQuotaInBytes(), Content::Limits::maxContentSize(),
      Content::Limits::maxDailyFilesCount(), Content::Limits::maxDailyFilesQuota(),
      Content::Limits::maxLenghtInSeconds(), Content::Limits::maxMonthlyFilesQuota());
}

struct Cell {
  const StepCase* step;
  const FaultCase* fault;
  std::unique_ptr<Screenshot> capture;
  std::size_t statesBefore = 0;
  std::shared_ptr<std::atomic<int>> completions = std::make_shared<std::atomic<int>>(0);
  std::shared_ptr<std::atomic<bool>> failed = std::make_shared<std::atomic<bool>>(false);
  decltype(storedValues(std::declval<UserAccountStore&>())) storedBefore;
  std::string state;
  int calls = 0;

  std::string name() const { return "[" + fault->title + "] x [" + step->title + "]"; }
  std::string text() const {
    if (step->step == Step::check) {
      return state == "notUploaded" ? "not on server" : state == "uploaded" ? "on server" : state;
    }
    return state + ", " + std::to_string(calls) + (calls == 1 ? " call" : " calls");
  }
};

class FaultMatrixTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string whyNot;
    dev_ = DevService::get(&whyNot);
    ASSERT_TRUE(dev_) << whyNot;
    dev_->reset();
    Content::Limits::resetToDefaults();
    host_ = installHost({.thumbnails = false, .maximumIdleTimeout = kIdleTimeout}, dev_->token);
    account_ = std::dynamic_pointer_cast<UserAccountStore>(
        Resolver::resolveFromRoot<UserAccountStoreService>());
    // Values the service does not hold, so that any refresh that got through would show.
    account_->setEmail("before-the-faults@example.invalid");
    account_->setRemainingDailyItemsCount(4242);
    account_->setRemainingDailyQuotaInBytes(std::uint64_t{1} << 33);
    Content::Limits::setMaxLenghtInSeconds(7);
    docs_ = makeDocumentsFolder();
  }

  void TearDown() override {
    if (!dev_) return;
    settle(host_);
    dev_->reset();
    Content::Limits::resetToDefaults();
  }

  std::unique_ptr<Screenshot> newCapture() {
    static int counter = 0;
    const fs::path file = docs_ / ("Shot " + std::to_string(++counter) + ".png");
    writeBytes(file, randomBytes(2048));
    return std::make_unique<Screenshot>(Url::fileURL(file));
  }

  // Shares and waits for the outcome; counts the uploads that will send "upload/complete".
  std::string shareAndWait(const Screenshot& capture) {
    host_.manager->share(capture);
    waitUntil([&] { return host_.observer->finalCount(path(capture)) >= 1; });
    const auto states = host_.observer->states(path(capture));
    uploaded_ += !states.empty() && states.back() == ShareState::uploaded;
    return states.empty() ? "none" : std::string(rawValue(states.back()));
  }

  std::size_t logged(const std::string& apiPath) const {
    const json log = dev_->call("GET", "/__dev__/requests").json();
    if (!log.is_object() || !log["requests"].is_array()) return 0;
    return std::count_if(log["requests"].begin(), log["requests"].end(),
                         [&](const json& r) { return r.value("path", "") == apiPath; });
  }

  // The fault queued for `route` has been taken at least once.
  bool faultTaken(const std::string& route, int queued) const {
    const json faults = dev_->call("GET", "/__dev__/faults").json();
    if (!faults.is_object() || !faults["faults"].is_array()) return false;
    return std::none_of(faults["faults"].begin(), faults["faults"].end(), [&](const json& f) {
      return f.value("route", "") == route && f.value("count", 0) >= queued;
    });
  }

  // The library's temporary files: its temporary folder and the states file's temporaries.
  std::vector<std::string> leftovers() const {
    std::vector<std::string> found;
    const fs::path data = prepareProcess() / "data";
    std::error_code ec;
    for (const auto& dir : {data / "LumoTemp", data / "lumo"}) {
      for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (dir.filename() == "LumoTemp" || name.starts_with(".")) found.push_back(it->path());
      }
    }
    return found;
  }

  void arm(Cell& cell) {
    json fault = cell.fault->fault;
    fault["route"] = cell.step->route;
    const auto queue = [&] { ASSERT_TRUE(dev_->fault(fault)) << cell.name() << " " << fault; };
    switch (cell.step->step) {
      case Step::start:
      case Step::storage:
      case Step::complete:
        cell.capture = newCapture();
        queue();
        host_.manager->share(*cell.capture);
        break;
      case Step::remove:
        cell.statesBefore = host_.observer->states(path(*cell.capture)).size();
        queue();
        host_.manager->deleteScreenCapture(*cell.capture);
        break;
      case Step::check:
        cell.statesBefore = host_.observer->states(path(*cell.capture)).size();
        queue();
        host_.manager->checkScreenCaptureRemoteState(*cell.capture);
        break;
      case Step::profile:
        cell.storedBefore = storedValues(*account_);
        queue();
        Resolver::resolveFromRoot<ProfileUpdateService>()->updateProfileIfNeeded(
            [calls = cell.completions, failed = cell.failed](Result<ProfileResponse> result) {
              if (!result) *failed = true;
              ++*calls;
            });
        break;
    }
    const int queued = fault.value("count", 1);
    ASSERT_TRUE(waitUntil([&] { return faultTaken(cell.step->route, queued); }))
        << cell.name() << ": fault not taken";
  }

  // The cell's final report has come; a remote check that changes nothing makes none.
  bool reported(const Cell& cell) const {
    switch (cell.step->step) {
      case Step::remove:
        return deleteReports() > deletesSeen_;
      case Step::profile:
        return *cell.completions >= 1;
      case Step::check:
        return true;
      default:
        return host_.observer->finalCount(path(*cell.capture)) >= 1;
    }
  }

  std::size_t deleteReports() const {
    return host_.log->linesStartingWith("Delete task completed = ").size() +
           host_.log->linesStartingWith("Delete task error = ").size();
  }

  // Read once the whole row has settled, so that a second report would show.
  void evaluate(Cell& cell) {
    const auto states =
        cell.capture ? host_.observer->states(path(*cell.capture)) : std::vector<ShareState>{};
    const auto newState = [&] {
      return states.size() > cell.statesBefore ? std::string(rawValue(states.back()))
                                               : std::string("unchanged");
    };
    switch (cell.step->step) {
      case Step::start:
      case Step::storage:
      case Step::complete:
        cell.calls = static_cast<int>(host_.observer->finalCount(path(*cell.capture)));
        cell.state = states.empty() ? "none" : std::string(rawValue(states.back()));
        uploaded_ += cell.state == "uploaded";
        break;
      case Step::remove:
        cell.calls = static_cast<int>(deleteReports() - deletesSeen_);
        deletesSeen_ += cell.calls;
        cell.state = newState();
        break;
      case Step::check:
        cell.state = newState();
        EXPECT_LE(states.size(), cell.statesBefore + 1) << cell.name();
        break;
      case Step::profile:
        cell.calls = *cell.completions;
        cell.state = *cell.failed ? "error" : "refreshed";
        EXPECT_EQ(storedValues(*account_), cell.storedBefore)
            << cell.name() << ": stored values changed";
        break;
    }
    EXPECT_EQ(cell.state, cell.fault->expected[cell.step - kSteps.data()]) << cell.name();
    if (cell.step->step != Step::check) {
      EXPECT_EQ(cell.calls, 1) << cell.name();
    }
  }

  // One row: captures to delete and check, the six faults armed one after the other, the
  // outcomes, then the queue, the temporary files and a next share.
  void runRow(const FaultCase& fault, std::vector<Cell>& cells, std::string& nextShare) {
    for (const auto& step : kSteps) {
      cells.emplace_back();
      cells.back().step = &step;
      cells.back().fault = &fault;
    }
    for (auto& cell : cells) {
      if (cell.step->step != Step::remove && cell.step->step != Step::check) continue;
      cell.capture = newCapture();
      ASSERT_EQ(shareAndWait(*cell.capture), "uploaded") << cell.name();
    }
    // Every "upload/complete" of earlier uploads has arrived before that route gets a fault.
    EXPECT_TRUE(waitUntil([&] { return logged("/api/v1/upload/complete/") >= uploaded_; }));
    for (auto cell = cells.rbegin(); cell != cells.rend(); ++cell) {
      arm(*cell);
      if (HasFatalFailure()) return;
    }
    for (auto& cell : cells) {
      EXPECT_TRUE(waitUntil([&] { return reported(cell); })) << cell.name() << ": no final report";
    }
    MainQueue::runFor(500ms);
    for (auto& cell : cells) evaluate(cell);

    const std::string row = "[" + fault.title + "] ";
    // Faults left over (a drop that no retry took) go, once no "upload/complete" is on its way.
    EXPECT_TRUE(waitUntil([&] { return logged("/api/v1/upload/complete/") >= uploaded_; }));
    dev_->reset();
    uploaded_ = 0;
    EXPECT_TRUE(waitUntil(
        [&] { return !host_.queue->counts().empty() && host_.queue->counts().back() == 0; }, 30s))
        << row << "upload queue count stuck at " << host_.queue->counts().back();
    EXPECT_TRUE(host_.manager->currentTasks().empty()) << row << "uploads still in flight";
    host_.states->waitUntilSaved();
    EXPECT_EQ(leftovers(), std::vector<std::string>{}) << row << "temporary files left";
    nextShare = shareAndWait(*newCapture());
    EXPECT_EQ(nextShare, "uploaded") << row << "next share";
  }

  const DevService* dev_ = nullptr;
  Host host_;
  std::shared_ptr<UserAccountStore> account_;
  fs::path docs_;
  std::size_t uploaded_ = 0;     // uploads that ended uploaded, each sending "upload/complete"
  std::size_t deletesSeen_ = 0;  // delete reports already counted
};

TEST_F(FaultMatrixTest, EveryStepUnderEveryFaultEndsOnceAndLeavesNothingBehind) {
  std::ostringstream table;
  table << "| Fault |";
  for (const auto& step : kSteps) table << " " << step.title << " |";
  table << " next share |\n|---|";
  for (std::size_t i = 0; i <= kSteps.size(); ++i) table << "---|";
  table << "\n";
  for (const auto& fault : kFaults) {
    std::vector<Cell> cells;
    std::string nextShare;
    runRow(fault, cells, nextShare);
    if (HasFatalFailure()) return;
    table << "| " << fault.title << " |";
    for (const auto& cell : cells) table << " " << cell.text() << " |";
    table << " " << nextShare << " |\n";
  }
  lumo::testing::writeReportSection("fault-matrix", table.str());
}

}  // namespace
}  // namespace lumo::sharetest
