// A thousand captures through one share service against the reference service (`eval
// "$(scripts/devstack start)"`), 1 byte to 8 MiB; a tenth cancelled (in the start notice, while
// "upload/start" is held, while the storage post is held, after the upload), a tenth given a
// fault keyed by their remote name, so that hundreds of uploads at once cannot take each
// other's faults. Each must end as its path dictates, with the states file agreeing; the run
// reports time, peak memory, threads and uploads in flight. LUMO_LOAD_CAPTURES scales it down.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iomanip>
#include <random>
#include <set>
#include <sstream>
#include <thread>

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

constexpr std::uint64_t kSeed = 20261205;
constexpr std::int64_t kMaxSize = 8 << 20;
// Long enough that a cancel sent on the first report of the held step comes before its answer,
// however busy the main queue is.
constexpr int kHoldMs = 4000;

enum class Cancel { none, atStart, duringStart, duringPost, after };

struct Fault {
  const char* fault;  // JSON, without its key
  ShareState ends;
};

// A drop takes six: libcurl sends again, up to five times, when a reused connection closes with
// no answer. The storage's status is not looked at and "upload/complete" not waited for.
const Fault kFaults[] = {
    {R"({"route":"upload/start","status":500})", ShareState::error},
    {R"({"route":"upload/start","status":500,"body_kind":"html"})", ShareState::error},
    {R"({"route":"upload/start","status":401})", ShareState::error},
    {R"({"route":"upload/start","status":403})", ShareState::error},
    {R"({"route":"upload/start","status":200,"body_kind":"truncated_json"})", ShareState::error},
    {R"({"route":"upload/start","status":200,"body_kind":"empty"})", ShareState::error},
    {R"({"route":"upload/start","drop_after_bytes":0,"count":6})", ShareState::error},
    {R"({"route":"storage","drop_after_bytes":512,"count":6})", ShareState::error},
    {R"({"route":"storage","status":500})", ShareState::uploaded},
    {R"({"route":"upload/complete","status":500})", ShareState::uploaded},
};

struct Capture {
  std::unique_ptr<ScreenCapture> capture;
  std::string path;
  std::int64_t size = 0;
  Cancel cancel = Cancel::none;
  const Fault* fault = nullptr;
  std::atomic<int> cancelAnswer{-1};  // -1 not asked, else the answer
};

std::int64_t statusValue(const char* key) {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(key, 0) == 0) return std::atoll(line.c_str() + std::strlen(key));
  }
  return 0;
}

// Clears the faults left over for `keys` (drops that were not sent again), only when no
// other fault is pending: other users of the service keep theirs.
void clearLeftoverFaults(const DevService& dev, const std::set<std::string>& keys) {
  const json left = dev.call("GET", "/__dev__/faults").json().value("faults", json::array());
  const auto mine = [&](const json& f) {
    return f.contains("key") && f["key"].is_string() && keys.count(f["key"].get<std::string>());
  };
  if (!left.empty() && std::all_of(left.begin(), left.end(), mine)) dev.reset();
}

struct AtExit {
  std::function<void()> run;
  ~AtExit() { run(); }
};

TEST(LoadTest, AThousandCapturesEndAsTheirPathsSayAndTheStatesFileAgrees) {
  std::string whyNot;
  const DevService* dev = DevService::get(&whyNot);
  ASSERT_TRUE(dev) << whyNot;
  const char* scaled = std::getenv("LUMO_LOAD_CAPTURES");
  const int count = scaled ? std::max(50, std::atoi(scaled)) : 1000;

  Content::Limits::resetToDefaults();
  // Links go to memory: xclip takes about 0.1 s a copy and would pace the share calls.
  Clipboard clipboard{Clipboard::Environment{}};
  Host host = installHost({.clipboard = &clipboard}, dev->token);
  auto account = std::dynamic_pointer_cast<UserAccountStore>(
      Resolver::resolveFromRoot<UserAccountStoreService>());
  account->setRemainingDailyItemsCount(1'000'000);
  account->setRemainingDailyQuotaInBytes(std::uint64_t{1} << 40);

  // Files: the index as an 8-byte lead, then bytes of one random pool. All follows from the seed,
  // so a run uploads to the same remote names as the last one and the storage does not grow.
  std::mt19937_64 random(kSeed);
  std::vector<std::uint64_t> pool(kMaxSize / 8);
  std::generate(pool.begin(), pool.end(), std::ref(random));
  const fs::path docs = makeDocumentsFolder();
  std::set<std::string> keys;  // of the faults queued
  // Leaves neither the half gigabyte of files nor this run's faults behind, however it ends.
  const AtExit cleanup{[&] {
    std::error_code ec;
    fs::remove_all(docs.parent_path(), ec);
    clearLeftoverFaults(*dev, keys);
  }};
  std::vector<Capture> captures(count);
  std::int64_t totalBytes = 0;
  for (int i = 0; i < count; ++i) {
    Capture& c = captures[i];
    // Log-uniform over [1, 8 MiB]; the first capture is 1 byte and the last 8 MiB.
    const double u = std::uniform_real_distribution<double>(0, 1)(random);
    c.size = std::clamp<std::int64_t>(std::llround(std::exp(u * std::log(kMaxSize))), 1, kMaxSize);
    if (i == 0 || i == count - 1) c.size = i == 0 ? 1 : kMaxSize;
    static const char* kExtensions[] = {".png", ".gif", ".pdf"};
    const fs::path file = docs / ("capture-" + std::to_string(i) + kExtensions[i % 3]);
    const auto lead = static_cast<std::uint64_t>(i);
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(&lead), std::min<std::int64_t>(c.size, 8));
    if (c.size > 8) {
      const auto offset = static_cast<std::int64_t>(random() % (kMaxSize - c.size + 9));
      out.write(reinterpret_cast<const char*>(pool.data()) + offset, c.size - 8);
    }
    ASSERT_TRUE(out.flush()) << file;
    const Url url = Url::fileURL(file);
    c.capture = i % 3 == 0   ? std::unique_ptr<ScreenCapture>(new Screenshot(url))
                : i % 3 == 1 ? std::unique_ptr<ScreenCapture>(new GIF(url))
                             : std::unique_ptr<ScreenCapture>(new OtherItem(url));
    c.path = relativeScreenCapturePath(url);
    totalBytes += c.size;
  }

  // Paths: a random tenth cancelled, another tenth faulted, among captures of 2 bytes or more:
  // their contents, and so their remote names, are their own.
  std::vector<int> order;
  for (int i = 0; i < count; ++i) {
    if (captures[i].size >= 2) order.push_back(i);
  }
  std::shuffle(order.begin(), order.end(), random);
  const int tenth = count / 10;
  auto urls = Resolver::resolveFromRoot<ShareURLHelperService>();
  for (int k = 0; k < 2 * tenth; ++k) {
    Capture& c = captures[order[k]];
    json fault;
    if (k < tenth) {
      c.cancel = static_cast<Cancel>(1 + k % 4);
      if (c.cancel == Cancel::duringStart || c.cancel == Cancel::duringPost) {
        fault = {{"route", c.cancel == Cancel::duringStart ? "upload/start" : "storage"},
                 {"delay_ms", kHoldMs}};
      }
    } else {
      c.fault = &kFaults[k % std::size(kFaults)];
      fault = json::parse(c.fault->fault);
    }
    if (fault.is_null()) continue;
    const auto link = urls->generateShareURL(*c.capture);
    ASSERT_TRUE(link);
    fault["key"] = *keys.insert(link->lastPathComponent()).first;
    ASSERT_TRUE(dev->fault(fault)) << fault.dump();
  }

  // Uploads in flight, from the capture reports: started and not yet final.
  std::atomic<int> inFlight{0}, mostInFlight{0}, finals{0};
  std::map<std::string, Capture*> byPath;
  for (auto& c : captures) byPath[c.path] = &c;
  host.observer->setOnState([&](const std::string& path, ShareState state) {
    if (state == ShareState::uploading) {
      const int now = ++inFlight;
      for (int most = mostInFlight; now > most && !mostInFlight.compare_exchange_weak(most, now);) {
      }
      Capture* c = byPath.at(path);
      // Cancelled in the start notice itself, before any request is made.
      if (c->cancel == Cancel::atStart) {
        c->cancelAnswer = host.manager->cancelScreenCaptureTask(*c->capture);
      }
    } else if (state == ShareState::uploaded || state == ShareState::error ||
               state == ShareState::cancelled) {
      --inFlight;
      ++finals;
    }
  });

  std::atomic<bool> stop{false}, giveUp{false};
  std::atomic<std::int64_t> peakThreads{0};
  std::thread sampler([&] {
    while (!stop) {
      peakThreads = std::max(peakThreads.load(), statusValue("Threads:"));
      std::this_thread::sleep_for(5ms);
    }
  });
  // Cancels on the first sign of each moment, as a user clicking would.
  std::thread canceller([&] {
    std::vector<Capture*> pending;
    for (auto& c : captures) {
      if (c.cancel != Cancel::none && c.cancel != Cancel::atStart) pending.push_back(&c);
    }
    while (!giveUp && !pending.empty()) {
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
  double sharingSeconds = 0;
  std::thread sharer([&] {
    for (auto& c : captures) host.manager->share(*c.capture);
    sharingSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  });
  const bool allFinal = waitUntil([&] { return finals >= count; }, 20min);
  sharer.join();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_TRUE(allFinal) << finals << " of " << count << " captures reached a final state";
  EXPECT_TRUE(waitUntil([&] { return host.queue->counts().back() == 0; }, 60s));
  giveUp = !allFinal;
  stop = true;
  canceller.join();
  sampler.join();
  host.observer->setOnState(nullptr);
  MainQueue::drain();
  host.states->waitUntilSaved();
  EXPECT_TRUE(host.manager->currentTasks().empty());

  // Each capture: one final report, the state its path dictates, the same in memory.
  std::map<std::string, int> outcomes;
  for (auto& c : captures) {
    ShareState expected = c.fault ? c.fault->ends : ShareState::uploaded;
    if (c.cancel != Cancel::none && c.cancel != Cancel::after) expected = ShareState::cancelled;
    EXPECT_EQ(host.observer->finalCount(c.path), 1u) << c.path;
    EXPECT_EQ(host.states->getState(*c.capture), expected)
        << c.path << ", " << c.size << " B, " << (c.fault ? c.fault->fault : "no fault")
        << ", cancel " << static_cast<int>(c.cancel);
    if (c.cancel != Cancel::none) {
      EXPECT_EQ(c.cancelAnswer, c.cancel == Cancel::after ? 0 : 1) << c.path;
    }
    ++outcomes[std::string(rawValue(expected))];
  }
  // The states file, read as it stands: one entry per capture, each as in memory.
  std::ifstream in(prepareProcess() / "data" / "lumo" / ShareStatesManager::kStatesFileName);
  const json file = json::parse(in, nullptr, false);
  ASSERT_TRUE(file.is_array());
  EXPECT_EQ(file.size(), captures.size());
  for (const auto& entry : file) {
    const auto it = byPath.find(entry.value("id", ""));
    ASSERT_NE(it, byPath.end()) << entry.dump();
    EXPECT_EQ(entry.value("state", ""), rawValue(host.states->getState(*it->second->capture)));
  }

  std::ostringstream report;
  report << std::fixed << std::setprecision(1) << "One run, " LUMO_BUILD_TYPE " build.\n\n"
         << "| figure | value |\n|---|---|\n"
         << "| captures | " << count << " (" << totalBytes / 1e6 << " MB, log-uniform 1 B to 8 MiB,"
         << " seed " << kSeed << ") |\n"
         << "| outcomes | ";
  for (const auto& [state, n] : outcomes) report << state << " " << n << " ";
  report << "|\n| total time, first share to last final state | " << seconds << " s |\n"
         << "| time in the share calls (digest, quota, link copied, queued) | " << sharingSeconds
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
