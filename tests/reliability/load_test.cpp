// Two hundred captures through one share service against the reference service (`eval
// "$(scripts/devstack start)"`), 1 byte to 8 MiB; a tenth cancelled (in the start notice, while
// "upload/start" is held, while the storage post is held, after the upload), a tenth given a
// fault keyed by their remote name, so that many uploads at once cannot take each other's
// faults. Each must end as its path dictates, with the states file agreeing; the run reports
// time, peak memory, threads and uploads in flight. LUMO_LOAD_CAPTURES scales it.

#include <gtest/gtest.h>

#include <fstream>
#include <iomanip>
#include <random>
#include <sstream>
#include <thread>

#include "DevService.h"
#include "ReliabilityReport.h"
#include "ShareTestHost.h"
#include "lumo/account/Content.h"
#include "lumo/account/UserAccountStore.h"
#include "lumo/capture/GIF.h"
#include "lumo/capture/OtherItem.h"
#include "lumo/capture/ScreenCaptureUrl.h"
#include "lumo/capture/Screenshot.h"
#include "lumo/registry/Resolver.h"
#include "lumo/sharing/ShareURLHelperService.h"

namespace lumo::sharetest {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

enum class Cancel { none, atStart, duringStart, duringPost, after };

// A drop takes six: libcurl sends again, up to five times, when a reused connection closes with
// no answer. The storage's status is not looked at and "upload/complete" not waited for.
const std::pair<const char*, ShareState> kFaults[] = {
    {R"({"route":"upload/start","status":500})", ShareState::error},
    {R"({"route":"upload/start","drop_after_bytes":0,"count":6})", ShareState::error},
    {R"({"route":"storage","drop_after_bytes":512,"count":6})", ShareState::error},
    {R"({"route":"storage","status":500})", ShareState::uploaded},
    {R"({"route":"upload/complete","status":500})", ShareState::uploaded}};

struct Capture {
  std::unique_ptr<ScreenCapture> capture;
  std::string path;
  Cancel cancel = Cancel::none;
  ShareState expected = ShareState::uploaded;
  std::atomic<int> cancelAnswer{-1};  // -1 not asked, else the answer
};

std::int64_t statusValue(const std::string& key) {  // of /proc/self/status
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with(key)) return std::atoll(line.c_str() + key.size());
  }
  return 0;
}

TEST(LoadTest, CapturesEndAsTheirPathsSayAndTheStatesFileAgrees) {
  std::string whyNot;
  const test::DevService* dev = test::DevService::get(&whyNot);
  ASSERT_TRUE(dev) << whyNot;
  const char* scaled = std::getenv("LUMO_LOAD_CAPTURES");
  const int count = std::max(50, scaled ? std::atoi(scaled) : 200);
  Content::Limits::resetToDefaults();
  // Links go to memory: xclip takes about 0.1 s a copy and would pace the share calls.
  Clipboard clipboard{Clipboard::Environment{}};
  Host host = installHost({.clipboard = &clipboard}, dev->token);
  auto account = std::dynamic_pointer_cast<UserAccountStore>(
      Resolver::resolveFromRoot<UserAccountStoreService>());
  account->setRemainingDailyItemsCount(1'000'000);
  account->setRemainingDailyQuotaInBytes(std::uint64_t{1} << 40);
  dev->reset();

  // Sizes log-uniform over [1 B, 8 MiB], the first 1 byte and the last 8 MiB; random contents,
  // so that every capture has a remote name of its own.
  std::mt19937_64 random(std::random_device{}());
  const fs::path docs = makeDocumentsFolder();
  const std::shared_ptr<void> cleanup(nullptr, [&](void*) {  // however the test ends
    fs::remove_all(docs.parent_path());
    dev->reset();
  });
  std::vector<Capture> captures(count);
  std::map<std::string, Capture*> byPath;
  std::vector<int> order;
  std::int64_t totalBytes = 0;
  for (int i = 0; i < count; ++i) {
    const double u = i == 0           ? 0
                     : i == count - 1 ? 1
                                      : std::uniform_real_distribution<double>(0, 1)(random);
    const auto size = static_cast<std::size_t>(std::llround(std::exp(u * std::log(8 << 20))));
    const fs::path file =
        docs / ("capture-" + std::to_string(i) + (i % 3 ? i % 3 == 1 ? ".gif" : ".pdf" : ".png"));
    writeBytes(file, randomBytes(size));
    if (size >= 4) order.push_back(i);  // contents, and so remote names, of their own
    const Url url = Url::fileURL(file);
    Capture& c = captures[i];
    c.capture = i % 3 == 0   ? std::unique_ptr<ScreenCapture>(new Screenshot(url))
                : i % 3 == 1 ? std::unique_ptr<ScreenCapture>(new GIF(url))
                             : std::unique_ptr<ScreenCapture>(new OtherItem(url));
    byPath[c.path = relativeScreenCapturePath(url)] = &c;
    totalBytes += static_cast<std::int64_t>(size);
  }
  // Paths: a random tenth cancelled, another faulted; the held steps hold long enough that a
  // cancel sent on their first report comes before the answer.
  std::shuffle(order.begin(), order.end(), random);
  auto urls = Resolver::resolveFromRoot<ShareURLHelperService>();
  for (int k = 0; k < 2 * (count / 10); ++k) {
    Capture& c = captures[order[k]];
    json fault;
    if (k < count / 10) {
      c.cancel = static_cast<Cancel>(1 + k % 4);
      c.expected = c.cancel == Cancel::after ? ShareState::uploaded : ShareState::cancelled;
      if (c.cancel == Cancel::duringStart) fault = {{"route", "upload/start"}, {"delay_ms", 4000}};
      if (c.cancel == Cancel::duringPost) fault = {{"route", "storage"}, {"delay_ms", 4000}};
    } else {
      fault = json::parse(kFaults[k % std::size(kFaults)].first);
      c.expected = kFaults[k % std::size(kFaults)].second;
    }
    if (fault.is_null()) continue;
    fault["key"] = urls->generateShareURL(*c.capture)->lastPathComponent();
    ASSERT_TRUE(dev->fault(fault)) << fault.dump();
  }

  std::atomic<int> inFlight{0}, mostInFlight{0}, finals{0};
  host.observer->setOnState([&](const std::string& path, ShareState state) {
    Capture* c = byPath.at(path);
    if (state == ShareState::uploading) {
      const int now = ++inFlight;
      for (int m = mostInFlight; now > m && !mostInFlight.compare_exchange_weak(m, now);) {
      }
      if (c->cancel == Cancel::atStart)
        c->cancelAnswer = host.manager->cancelScreenCaptureTask(*c->capture);
    } else if (state == ShareState::uploaded || state == ShareState::error ||
               state == ShareState::cancelled) {
      --inFlight, ++finals;
    }
  });
  std::atomic<bool> stop{false};
  std::atomic<std::int64_t> peakThreads{0};
  // Samples the threads, and cancels on the first sign of each moment, as a user clicking would.
  std::thread watcher([&] {
    std::vector<Capture*> pending;
    for (auto& c : captures) {
      if (c.cancel != Cancel::none && c.cancel != Cancel::atStart) pending.push_back(&c);
    }
    while (!stop) {
      peakThreads = std::max(peakThreads.load(), statusValue("Threads:"));
      std::erase_if(pending, [&](Capture* c) {
        // A capture that ended before its moment is asked anyway, and fails below.
        const bool due =
            host.observer->finalCount(c->path) > 0 ||
            (c->cancel == Cancel::duringStart && !host.observer->states(c->path).empty()) ||
            (c->cancel == Cancel::duringPost && host.observer->progressCount(c->path) > 0);
        if (due) c->cancelAnswer = host.manager->cancelScreenCaptureTask(*c->capture);
        return due;
      });
      std::this_thread::sleep_for(1ms);
    }
  });
  const auto start = std::chrono::steady_clock::now();
  for (auto& c : captures) host.manager->share(*c.capture);
  const std::chrono::duration<double> sharing = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(waitUntil([&] { return finals >= count; }, 20min))
      << finals << " of " << count << " ended";
  const std::chrono::duration<double> total = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(waitUntil([&] { return host.queue->counts().back() == 0; }, 60s));
  stop = true;
  watcher.join();
  host.observer->setOnState(nullptr);
  MainQueue::drain();
  host.states->waitUntilSaved();
  EXPECT_TRUE(host.manager->currentTasks().empty());

  // Each capture: one final report, the state its path dictates, the same in the states file.
  std::map<std::string, int> outcomes;
  for (auto& c : captures) {
    EXPECT_EQ(host.observer->finalCount(c.path), 1u) << c.path;
    EXPECT_EQ(host.states->getState(*c.capture), c.expected)
        << c.path << ", cancel " << int(c.cancel);
    if (c.cancel != Cancel::none) {
      EXPECT_EQ(c.cancelAnswer, c.cancel == Cancel::after ? 0 : 1) << c.path;
    }
    ++outcomes[std::string(rawValue(c.expected))];
  }
  std::ifstream in(prepareProcess() / "data/lumo" / ShareStatesManager::kStatesFileName);
  const json file = json::parse(in, nullptr, false);
  ASSERT_TRUE(file.is_array());
  EXPECT_EQ(file.size(), captures.size());
  for (const auto& entry : file) {
    ASSERT_TRUE(byPath.count(entry.value("id", ""))) << entry.dump();
    EXPECT_EQ(entry.value("state", ""),
              rawValue(host.states->getState(*byPath[entry["id"]]->capture)));
  }

  std::ostringstream report;
  report << std::fixed << std::setprecision(1) << "One run, " LUMO_BUILD_TYPE " build.\n\n"
         << "| figure | value |\n|---|---|\n| captures | " << count << " (" << totalBytes / 1e6
         << " MB, log-uniform 1 B to 8 MiB) |\n| outcomes | ";
  for (const auto& [state, n] : outcomes) report << state << " " << n << " ";
  report << "|\n| total time, first share to last final state | " << total.count() << " s |\n"
         << "| time in the share calls (digest, quota, link copied, queued) | " << sharing.count()
         << " s |\n"
         << "| peak memory (VmHWM) | " << statusValue("VmHWM:") / 1024 << " MiB |\n"
         << "| peak thread count | " << peakThreads << " |\n"
         << "| most uploads in flight (started, not final) | " << mostInFlight << " |\n"
         << "| most transfers in the upload queue | " << std::ranges::max(host.queue->counts())
         << " |\n";
  std::printf("%s", report.str().c_str());
  lumo::testing::writeReportSection("load", report.str());
}

}  // namespace
}  // namespace lumo::sharetest
