// How long `ShareService::share` holds its caller for a 50 MiB screenshot, against
// HashGenerator::hashValue of the same file in the same run, for each clipboard the machine
// has: the link in memory (target: at most 1.2x), the X selection when DISPLAY is set and the
// Wayland one when WAYLAND_DISPLAY is (at most 1.05x each where the selection is owned
// in-process; wl-copy, used where the compositor lacks data-control, has no target).
//
// Before it queues the upload, a share names the file remotely from its digest (the whole file
// is read), reads its size, checks the quota, puts the link on the clipboard and notifies the
// host; the digest dominates. The runs are interleaved (hash, share, hash, ...) so that load
// from elsewhere hits both alike; the figures are the best run of each, medians are printed
// too. The file is read once before timing, so every run reads from the page cache.
//
// The account is signed out, so each queued upload ends at its first step without touching
// the network; the bench waits for that (untimed) before the next run. Each session has a
// Clipboard of its own, named by the environment; the report says where its last copy went.
// Under a data-control compositor Wayland is measured twice: owned in-process, and through
// wl-copy alone as on a compositor without data-control (GNOME).
// Each share is of the file with a new modification time, so that it reads the whole file
// as a new screenshot's would (the digest is kept by the file's identity and time).
// LUMO_SHARE_BENCH_RUNS sets the runs per side and session (default 7).
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "BenchHost.h"
#include "BenchReport.h"
#include "lumo/account/UserAccountStore.h"
#include "lumo/api/APISettings.h"
#include "lumo/capture/HashGenerator.h"
#include "lumo/capture/ScreenCaptureHelper.h"
#include "lumo/capture/Screenshot.h"
#include "lumo/platform/Clipboard.h"
#include "lumo/registry/Resolver.h"
#include "lumo/sharing/EnvironmentHelperService.h"
#include "lumo/sharing/PasteboardManager.h"
#include "lumo/sharing/ShareManager.h"
#include "lumo/sharing/ShareStatesManager.h"
#include "lumo/sharing/ShareURLHelper.h"
#include "lumo/sharing/UploadQueueDelegate.h"
#include "lumo/sharing/UserNotificationsService.h"
#include "lumo/storage/DirectoriesManager.h"
#include "lumo/storage/LocalFilesManager.h"
#include "lumo/support/DispatchQueue.h"
#include "lumo/support/Log.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kFileBytes = 50ULL << 20;  // exactly the default largest upload

int runsPerSide() {
  const char* value = std::getenv("LUMO_SHARE_BENCH_RUNS");
  const int runs = value && *value ? std::atoi(value) : 7;
  return runs > 0 ? runs : 7;
}

// The host's notifications: counted, shown nowhere.
class CountingNotifications : public lumo::UserNotificationsService {
 public:
  void showNotification(const lumo::UserNotificationKind&, const std::string&,
                        const lumo::ScreenCapture&) override {
    ++count;
  }
  std::atomic<int> count{0};
};

class QueueCount : public lumo::UploadQueueDelegate {
 public:
  void uploadQueue(lumo::UploadQueue&, std::int64_t operationCountChanged) override {
    count = operationCountChanged;
  }
  std::atomic<std::int64_t> count{0};
};

// Where share() puts its link: the session being measured.
class SessionPasteboard : public lumo::PasteboardService {
 public:
  bool copyToPasteBoard(const lumo::Url& link) override {
    return target.load()->copyToPasteBoard(link);
  }
  std::atomic<lumo::PasteboardService*> target{nullptr};
};

struct Session {
  std::string name;  // in the benchmarks' names
  std::unique_ptr<lumo::Clipboard> clipboard;
  std::shared_ptr<lumo::PasteboardService> pasteboard;
};

struct Fixture {
  fs::path folder;
  fs::path file;
  std::string digest;
  std::shared_ptr<lumo::ShareManager> manager;
  std::shared_ptr<lumo::ShareStatesManager> states;
  std::shared_ptr<CountingNotifications> notifications;
  std::shared_ptr<QueueCount> queue;
  std::shared_ptr<SessionPasteboard> pasteboard = std::make_shared<SessionPasteboard>();
  std::vector<Session> sessions;
};
Fixture gFixture;

std::string variable(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// The sessions this machine has; memory always.
void addSessions() {
  using Environment = lumo::Clipboard::Environment;
  auto add = [](std::string name, Environment environment) {
    auto clipboard = std::make_unique<lumo::Clipboard>(std::move(environment));
    auto pasteboard = std::make_shared<lumo::PasteboardManager>(*clipboard);
    gFixture.sessions.push_back({std::move(name), std::move(clipboard), std::move(pasteboard)});
  };
  const std::string path = variable("PATH"), x = variable("DISPLAY");
  const std::string wayland = variable("WAYLAND_DISPLAY");
  add("memory", Environment{});
  if (!x.empty()) add("x", Environment{"", x, path});
  if (!wayland.empty()) {
    add("wayland", Environment{wayland, "", path});
    add("wayland-tools", Environment{wayland, "", path, false});
  }
}

// What the report calls a session, and its target ratio (none: 0).
std::pair<std::string, double> describe(const Session& session) {
  const auto copiedTo = session.clipboard->lastDestination();
  const std::string to = copiedTo ? std::string(lumo::toString(*copiedTo)) : "none";
  if (session.name == "memory") return {"link in memory", 1.2};
  if (session.name == "x")
    return {copiedTo == lumo::Clipboard::Destination::x11 ? "X, owned in-process" : "X via " + to,
            1.05};
  if (copiedTo == lumo::Clipboard::Destination::wlCopy)
    return {"Wayland without data-control (wl-copy)", 0};
  return {"Wayland with data-control (" + to + ")", 1.05};
}

// The calling thread's CPU seconds per run, by side: unlike wall time, untouched by the other
// work on a shared machine.
std::map<std::string, std::vector<double>> gCpuSeconds;

double threadCpuSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double best(const std::vector<double>& values) {
  return values.empty() ? 0 : *std::min_element(values.begin(), values.end());
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

bool makeFile(const fs::path& path, std::uint64_t bytes) {
  std::ofstream out(path, std::ios::binary);
  std::vector<std::uint64_t> block(1 << 17);  // 1 MiB
  std::uint64_t x = 0x9E3779B97F4A7C15ULL ^ static_cast<std::uint64_t>(::getpid());
  for (std::uint64_t written = 0; written < bytes;) {
    for (auto& word : block) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      word = x;
    }
    const auto n = static_cast<std::streamsize>(std::min<std::uint64_t>(bytes - written, 1 << 20));
    out.write(reinterpret_cast<const char*>(block.data()), n);
    written += static_cast<std::uint64_t>(n);
  }
  return static_cast<bool>(out);
}

// Registers what a host registers, in a private folder.
bool setUp() {
  gFixture.folder = lumo::bench::makeHostFolder("lumo-share-bench");
  if (gFixture.folder.empty()) return false;
  gFixture.file = gFixture.folder / "Documents" / "Screen Shot.png";
  if (!makeFile(gFixture.file, kFileBytes)) return false;

  using lumo::Resolver;
  lumo::bench::registerSharingServices();
  auto pasteboard = gFixture.pasteboard;
  Resolver::registerInMain<lumo::PasteboardService>([pasteboard] { return pasteboard; });
  gFixture.notifications = std::make_shared<CountingNotifications>();
  auto notifications = gFixture.notifications;
  Resolver::registerInMain<lumo::UserNotificationsService>(
      [notifications] { return notifications; });

  Resolver::resolveFromRoot<lumo::UserAccountStoreService>()->logout();
  gFixture.states = std::dynamic_pointer_cast<lumo::ShareStatesManager>(
      Resolver::resolveFromRoot<lumo::ShareStatesService>());
  gFixture.manager = std::dynamic_pointer_cast<lumo::ShareManager>(
      Resolver::resolveFromRoot<lumo::ShareService>());
  gFixture.queue = std::make_shared<QueueCount>();
  gFixture.manager->setUploadQueueDelegate(gFixture.queue);

  // Reading it once puts it in the page cache.
  auto digest = lumo::HashGenerator::hashValue(lumo::Url::fileURL(gFixture.file));
  if (!digest) return false;
  gFixture.digest = *digest;
  return true;
}

void BM_HashValue(benchmark::State& state, const std::string& key) {
  const auto url = lumo::Url::fileURL(gFixture.file);
  for (auto _ : state) {
    const auto start = Clock::now();
    const double cpu = threadCpuSeconds();
    auto digest = lumo::HashGenerator::hashValue(url);
    gCpuSeconds[key].push_back(threadCpuSeconds() - cpu);
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    if (digest != gFixture.digest) state.SkipWithError("digest changed");
  }
}

void BM_Share(benchmark::State& state, const std::string& key, std::size_t session) {
  gFixture.pasteboard->target = gFixture.sessions[session].pasteboard.get();
  const lumo::Screenshot screenshot(lumo::Url::fileURL(gFixture.file));
  for (auto _ : state) {
    if (!lumo::bench::touch(gFixture.file)) state.SkipWithError("cannot touch the file");
    const int notified = gFixture.notifications->count;
    const auto start = Clock::now();
    const double cpu = threadCpuSeconds();
    gFixture.manager->share(screenshot);
    gCpuSeconds[key].push_back(threadCpuSeconds() - cpu);
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    // A share that did not reach its notification stopped early and measured nothing.
    if (gFixture.notifications->count != notified + 1) state.SkipWithError("the share was refused");
    // The upload ends at once for want of a token; let it, and its save, before the next run.
    lumo::MainQueue::runUntil(
        [] { return gFixture.queue->count == 0 && gFixture.manager->currentTasks().empty(); },
        std::chrono::seconds(30));
    lumo::MainQueue::drain();
    gFixture.states->waitUntilSaved();
  }
}

class Collector : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred || run.iterations == 0) continue;
      const std::string name = run.benchmark_name();
      const double seconds =
          run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
      seconds_[name.substr(0, name.rfind("/run:"))].push_back(seconds);
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::optional<double> bestOf(const std::string& side) const {
    auto it = seconds_.find(side);
    if (it == seconds_.end() || it->second.empty()) return std::nullopt;
    return *std::min_element(it->second.begin(), it->second.end());
  }
  std::optional<double> medianOf(const std::string& side) const {
    auto it = seconds_.find(side);
    if (it == seconds_.end() || it->second.empty()) return std::nullopt;
    auto values = it->second;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
  }

 private:
  std::map<std::string, std::vector<double>> seconds_;
};

}  // namespace

int main(int argc, char** argv) {
  if (!setUp()) {
    std::fprintf(stderr, "cannot prepare the 50 MiB file or the services\n");
    return 1;
  }
  addSessions();
  const int runs = runsPerSide();
  for (std::size_t i = 0; i < gFixture.sessions.size(); ++i) {
    const std::string hash = "hashValue/" + gFixture.sessions[i].name;
    const std::string share = "share/" + gFixture.sessions[i].name;
    for (int run = 1; run <= runs; ++run) {
      const std::string suffix = "/run:" + std::to_string(run);
      benchmark::RegisterBenchmark((hash + suffix).c_str(), BM_HashValue, hash)
          ->Iterations(1)
          ->UseManualTime()
          ->Unit(benchmark::kMillisecond);
      benchmark::RegisterBenchmark((share + suffix).c_str(), BM_Share, share, i)
          ->Iterations(1)
          ->UseManualTime()
          ->Unit(benchmark::kMillisecond);
    }
  }
  benchmark::Initialize(&argc, argv);
  Collector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);
  benchmark::Shutdown();

  lumo::bench::Report report;
  int status = 0;
  for (const Session& session : gFixture.sessions) {
    const std::string hash = "hashValue/" + session.name, share = "share/" + session.name;
    const auto shareBest = collector.bestOf(share), hashBest = collector.bestOf(hash);
    const auto shareMedian = collector.medianOf(share), hashMedian = collector.medianOf(hash);
    if (!shareBest || !hashBest) {
      status = 1;
      continue;
    }
    const auto [label, target] = describe(session);
    const double shareCpu = best(gCpuSeconds[share]), hashCpu = best(gCpuSeconds[hash]);
    std::printf(
        "\n%s: share(screenCapture) of a 50 MiB screenshot holds its caller %.1f ms (median "
        "%.1f), HashGenerator::hashValue %.1f ms (median %.1f): %.2fx best, %.2fx median; caller "
        "CPU %.1f ms vs %.1f ms (%.2fx)\n",
        label.c_str(), *shareBest * 1e3, *shareMedian * 1e3, *hashBest * 1e3, *hashMedian * 1e3,
        *shareBest / *hashBest, *shareMedian / *hashMedian, shareCpu * 1e3, hashCpu * 1e3,
        hashCpu > 0 ? shareCpu / hashCpu : 0.0);
    char goal[32];
    std::snprintf(goal, sizeof goal, target > 0 ? "target <= %.3gx" : "no target", target);
    report.add(label + ": share() of 50 MiB vs hashValue (" + goal + ")", "ms", *shareBest * 1e3,
               *hashBest * 1e3, true,
               {{"median_ours", *shareMedian * 1e3},
                {"median_peer", *hashMedian * 1e3},
                {"session", session.name},
                {"runs", runs}});
    report.add(label + ": caller CPU of share() vs hashValue", "ms", shareCpu * 1e3, hashCpu * 1e3,
               true,
               {{"median_ours", median(gCpuSeconds[share]) * 1e3},
                {"median_peer", median(gCpuSeconds[hash]) * 1e3}});
  }
  gFixture.manager.reset();
  std::error_code ec;
  fs::remove_all(gFixture.folder, ec);
  return report.write() ? status : 1;
}
