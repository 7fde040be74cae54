// Every network step of sharing under each fault of the reference service that the library tells
// apart (`eval "$(scripts/devstack start)"`): the outcome the library's rules give, one final
// report, then an empty upload queue, no temporary file left and a next share that works. The
// table goes into docs/reliability.md.

#include <gtest/gtest.h>

#include <sstream>

#include "ShareTestHost.h"
#include "lumo/capture/Screenshot.h"

namespace lumo::sharetest {
namespace {

using nlohmann::json;

// Short enough that the stall row stays short, long enough for a loaded machine's normal answers.
constexpr std::chrono::milliseconds kIdleTimeout{3000};

enum Step { start, storage, complete, remove, check };
const char* const kRoutes[] = {"upload/start", "storage", "upload/complete", "upload/delete",
                               "cdn"};

// The storage post's status is not looked at, only transport failures count; the answer of
// "upload/complete" is ignored; a delete fails on anything but a 2xx with JSON or no body; a
// remote check reports a 2xx as on the server, a 403 as not, and changes nothing otherwise. A 2xx
// with a body the client cannot use is the sharper test: an error status fails before the body
// is looked at.
constexpr auto uploaded = ShareState::uploaded;
const std::string E = "error", U = "uploaded", N = "notUploaded", X = "unchanged";
// A drop is repeated: libcurl sends a request that is safe to repeat (the remote HEAD) again, up
// to five times, when a reused connection closes unanswered; posts go out once. libcurl judges the
// speed over about five seconds: a stall answers after both.
// clang-format off
const std::vector<std::tuple<std::string, json, std::vector<std::string>>> kFaults = {
    {"500, HTML page", {{"status", 500}, {"body_kind", "html"}}, {E, U, U, X, X}},
    {"403", {{"status", 403}}, {E, U, U, X, N}},
    {"200, truncated JSON", {{"status", 200}, {"body_kind", "truncated_json"}}, {E, U, U, X, U}},
    {"200, empty body", {{"status", 200}, {"body_kind", "empty"}}, {E, U, U, N, U}},
    {"dropped after 16 request bytes", {{"drop_after_bytes", 16}, {"count", 6}}, {E, E, U, X, X}},
    {"answer stalls past the idle timeout", {{"status", 200}, {"delay_ms", 18'000}},
     {E, E, U, X, X}}};
// clang-format on

TEST(FaultMatrixTest, EveryStepUnderEveryFaultEndsOnceAndLeavesNothingBehind) {
  std::string whyNot;
  const DevService* dev = DevService::get(&whyNot);
  ASSERT_TRUE(dev) << whyNot;
  dev->reset();
  Host host = installHost({.thumbnails = false, .maximumIdleTimeout = kIdleTimeout}, dev->token);
  const std::shared_ptr<void> cleanup(nullptr, [&](void*) { settle(host), dev->reset(); });
  const auto states = [&](const Screenshot& shot) {
    return host.observer->states(relativeScreenCapturePath(shot.fileURL()));
  };
  const auto completes = [&] { return dev->requests("/api/v1/upload/complete/").size(); };
  const auto deletes = [&] {  // the final reports of deletes
    return host.log->linesStartingWith("Delete task c").size() +
           host.log->linesStartingWith("Delete task e").size();
  };
  // Shares a new capture; waits for its final report and, when uploaded, its "upload/complete".
  auto share = [&, counter = 0]() mutable {
    const fs::path file = makeDocumentsFolder() / ("Shot " + std::to_string(++counter) + ".png");
    writeBytes(file, randomBytes(2048));
    auto shot = std::make_unique<Screenshot>(Url::fileURL(file));
    const std::size_t before = completes();
    host.manager->share(*shot);
    const std::string path = relativeScreenCapturePath(shot->fileURL());
    EXPECT_TRUE(waitUntil([&] { return host.observer->finalCount(path) >= 1; }));
    EXPECT_TRUE(
        waitUntil([&] { return states(*shot).back() != uploaded || completes() > before; }));
    return shot;
  };
  // One cell: the step under the fault; its outcome and how many final reports it made.
  auto cell = [&](Step step, json fault) -> std::pair<std::string, std::size_t> {
    fault["route"] = kRoutes[step];
    std::unique_ptr<Screenshot> shot = step >= remove ? share() : nullptr;
    const std::size_t before = shot ? states(*shot).size() : 0, deleted = deletes();
    EXPECT_TRUE(dev->fault(fault)) << fault;
    if (step < remove) shot = share();
    if (step == remove) host.manager->deleteScreenCapture(*shot);
    if (step == check) host.manager->checkScreenCaptureRemoteState(*shot);
    EXPECT_TRUE(waitUntil([&] { return step != remove || deletes() > deleted; }));
    // The fault has been taken (what is left of a count no retry took goes with the reset).
    EXPECT_TRUE(waitUntil([&] {
      const json listed = dev->call("GET", "/__dev__/faults").json();
      for (const json& left : listed["faults"]) {
        if (left["route"] == fault["route"])
          return left.value("count", 1) < fault.value("count", 1);
      }
      return true;
    }));
    MainQueue::drain();
    dev->reset();
    const auto now = states(*shot);
    const std::string outcome = now.size() > before ? std::string(rawValue(now.back())) : X;
    if (step == remove) return {outcome, deletes() - deleted};
    if (step == check) return {outcome, now.size() - before};
    return {outcome, host.observer->finalCount(relativeScreenCapturePath(shot->fileURL()))};
  };

  std::ostringstream table;
  table << "| Fault | upload/start | storage post | upload/complete | upload/delete | remote HEAD "
           "| next share |\n|---|---|---|---|---|---|---|\n";
  for (const auto& [title, fault, expected] : kFaults) {
    SCOPED_TRACE(title);
    table << "| " << title << " |";
    for (int step = start; step <= check; ++step) {
      SCOPED_TRACE(kRoutes[step]);
      const auto [outcome, reports] = cell(static_cast<Step>(step), fault);
      EXPECT_EQ(outcome, expected[step]);
      EXPECT_EQ(reports, step == check && outcome == X ? 0u : 1u);
      table << " " << outcome << " |";
    }
    EXPECT_TRUE(waitUntil([&] { return host.queue->counts().back() == 0; })) << "queue stuck";
    EXPECT_TRUE(host.manager->currentTasks().empty()) << "uploads still in flight";
    host.states->waitUntilSaved();
    std::vector<std::string> left;  // the library's temporary files: hidden, or in LumoTemp
    for (const auto& entry : fs::recursive_directory_iterator(prepareProcess() / "data")) {
      const std::string name = entry.path().filename(), in = entry.path().parent_path().filename();
      if (name[0] == '.' || in == "LumoTemp") left.push_back(entry.path());
    }
    EXPECT_EQ(left, std::vector<std::string>{}) << "temporary files left";
    const std::string next(rawValue(states(*share()).back()));
    EXPECT_EQ(next, U) << "next share";
    table << " " << next << " |\n";
  }
  if (const char* folder = std::getenv("LUMO_RELIABILITY_REPORT")) {
    std::ofstream(fs::path(folder) / "fault-matrix.md") << table.str();
  }
}

// The storage front reads one upload at 10 KiB/s: it holds one place of the connection bound and
// no more, so the eight uploads shared after it (more than a host's six places) are uploaded
// while it still runs.
TEST(FaultMatrixTest, OneSlowUploadHoldsBackNoOther) {
  std::string whyNot;
  const DevService* dev = DevService::get(&whyNot);
  ASSERT_TRUE(dev) << whyNot;
  dev->reset();
  Host host = installHost({.thumbnails = false}, dev->token);
  const std::shared_ptr<void> cleanup(nullptr, [&](void*) { settle(host), dev->reset(); });
  ASSERT_TRUE(dev->fault({{"route", "storage"}, {"rate_bytes_per_s", 10240}}));
  std::vector<std::unique_ptr<Screenshot>> shots;
  for (int i = 0; i < 9; ++i) {
    const fs::path file = makeDocumentsFolder() / ("Queued " + std::to_string(i) + ".png");
    writeBytes(file, randomBytes(i == 0 ? 256 * 1024 : 2048));  // about 25 s at that rate
    host.manager->share(*shots.emplace_back(std::make_unique<Screenshot>(Url::fileURL(file))));
    EXPECT_TRUE(waitUntil([&] { return !dev->requests("/storage").empty(); }));  // slow one first
  }
  const auto done = [&](const std::unique_ptr<Screenshot>& shot) {  // and uploaded
    return std::ranges::count(host.observer->states(relativeScreenCapturePath(shot->fileURL())),
                              uploaded) == 1;
  };
  EXPECT_TRUE(waitUntil([&] { return std::all_of(shots.begin() + 1, shots.end(), done); }));
  EXPECT_FALSE(done(shots[0])) << "the others waited for the slow upload";
  EXPECT_TRUE(waitUntil([&] { return done(shots[0]); }));
}

}  // namespace
}  // namespace lumo::sharetest
