// A thousand captures shared at once through one share service, against the reference service:
// what the process holds at its peak while they upload. Sizes are log-uniform from 1 byte to
// 1 MiB (fixed seed); every capture must end uploaded, and the states file must say so.
//
// The figures are absolute budgets, with no standard tool to compare against: peak threads
// (/proc/self/task), peak open descriptors (/proc/self/fd) and the growth of resident memory
// (VmHWM, reset just before the first share, over the RSS then), sampled every few milliseconds
// while the main queue runs, from the first share call to the last final state.
//
//   eval "$(scripts/devstack start)"; build/release/bench/bench_load
//
// LUMO_BENCH_LOAD_CAPTURES changes the count.
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "BenchHost.h"
#include "BenchReport.h"
#include "lumo/account/UserAccountStore.h"
#include "lumo/api/APISettings.h"
#include "lumo/capture/ScreenCaptureHelper.h"
#include "lumo/capture/ScreenCaptureUrl.h"
#include "lumo/capture/Screenshot.h"
#include "lumo/platform/Clipboard.h"
#include "lumo/registry/Resolver.h"
#include "lumo/sharing/EnvironmentHelperService.h"
#include "lumo/sharing/PasteboardManager.h"
#include "lumo/sharing/ShareManager.h"
#include "lumo/sharing/ShareStatesManager.h"
#include "lumo/sharing/ShareStatesServiceDelegate.h"
#include "lumo/sharing/ShareURLHelper.h"
#include "lumo/storage/DirectoriesManager.h"
#include "lumo/storage/LocalFilesManager.h"
#include "lumo/support/DispatchQueue.h"
#include "lumo/support/Log.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The last state of each capture, by path.
class States : public lumo::ShareStatesServiceDelegate {
 public:
  void screenCaptureStateChanged(const lumo::ScreenCapture& capture,
                                 lumo::ShareState state) override {
    const bool final = state == lumo::ShareState::uploaded || state == lumo::ShareState::error ||
                       state == lumo::ShareState::cancelled;
    std::lock_guard lock(mu_);
    last_[lumo::relativeScreenCapturePath(capture.fileURL())] = state;
    finals += final;
  }
  void screenCaptureProgressChanged(const lumo::ScreenCapture&, std::int64_t, double) override {}
  std::map<std::string, lumo::ShareState> last() const {
    std::lock_guard lock(mu_);
    return last_;
  }
  std::atomic<int> finals{0};

 private:
  mutable std::mutex mu_;
  std::map<std::string, lumo::ShareState> last_;  // guarded by mu_
};

long entries(const char* folder) {
  std::error_code ec;
  return std::distance(fs::directory_iterator(folder, ec), fs::directory_iterator());
}

long statusKiB(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
  }
  return -1;
}

}  // namespace

int main() {
  const char* apiBase = std::getenv("LUMO_API_BASE");
  const char* shareBase = std::getenv("LUMO_SHARE_BASE");
  const char* token = std::getenv("LUMO_DEV_TOKEN");
  if (!apiBase || !shareBase || !token) {
    std::cerr << "bench_load: the reference service is not configured; run: "
                 "eval \"$(scripts/devstack start)\"\n";
    return 1;
  }
  const char* scaled = std::getenv("LUMO_BENCH_LOAD_CAPTURES");
  const int count = scaled && *scaled ? std::max(1, std::atoi(scaled)) : 1000;

  const fs::path folder = lumo::bench::makeHostFolder("lumo-load-bench");
  if (folder.empty()) return 1;

  // The captures, written before anything is measured.
  std::mt19937_64 random(20240622);
  std::vector<std::unique_ptr<lumo::Screenshot>> shots;
  double megabytes = 0;
  for (int i = 0; i < count; ++i) {
    const double u = std::uniform_real_distribution(0.0, 1.0)(random);
    const auto size = static_cast<std::size_t>(std::llround(std::exp(u * std::log(1 << 20))));
    std::string bytes(size, '\0');
    for (auto& c : bytes) c = static_cast<char>(random());
    const fs::path file = folder / "Documents" / ("capture-" + std::to_string(i) + ".png");
    std::ofstream(file, std::ios::binary) << bytes;
    shots.push_back(std::make_unique<lumo::Screenshot>(lumo::Url::fileURL(file)));
    megabytes += static_cast<double>(size) / 1e6;
  }

  using lumo::Resolver;
  lumo::APISettings::setServiceAddresses({apiBase, shareBase});
  lumo::bench::registerSharingServices();
  // Links go to memory: the desktop's clipboard tools would pace the share calls.
  static lumo::Clipboard clipboard{lumo::Clipboard::Environment{}};
  Resolver::registerInMain<lumo::PasteboardService>(
      [] { return std::make_shared<lumo::PasteboardManager>(clipboard); });
  auto account = std::dynamic_pointer_cast<lumo::UserAccountStore>(
      Resolver::resolveFromRoot<lumo::UserAccountStoreService>());
  account->login(token);
  account->setRemainingDailyItemsCount(1'000'000);
  account->setRemainingDailyQuotaInBytes(std::uint64_t{1} << 40);
  auto statesStore = std::dynamic_pointer_cast<lumo::ShareStatesManager>(
      Resolver::resolveFromRoot<lumo::ShareStatesService>());
  auto states = std::make_shared<States>();
  statesStore->setDelegate(states);
  auto manager = Resolver::resolveFromRoot<lumo::ShareService>();

  // One directory entry is the iterator's own descriptor.
  long peakThreads = 0, peakDescriptors = 0;
  // The high-water mark starts again here ("5" resets it to the current RSS), so that what the
  // captures were written with and the libraries loaded do not count.
  std::ofstream("/proc/self/clear_refs") << "5";
  const long baselineKiB = statusKiB("VmRSS");
  const auto sample = [&] {
    peakThreads = std::max(peakThreads, entries("/proc/self/task"));
    peakDescriptors = std::max(peakDescriptors, entries("/proc/self/fd") - 1);
    return states->finals >= count;
  };
  const auto start = Clock::now();
  for (const auto& shot : shots) {
    manager->share(*shot);
    sample();
  }
  const bool ended = lumo::MainQueue::runUntil(sample, std::chrono::minutes(20));
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  lumo::MainQueue::drain();
  statesStore->waitUntilSaved();
  const long peakKiB = statusKiB("VmHWM");

  // Every outcome, as reported and as saved.
  std::map<std::string, int> outcomes;
  int wrong = ended ? 0 : 1;
  const auto last = states->last();
  std::map<std::string, std::string> saved;
  for (const auto& entry : nlohmann::json::parse(
           std::ifstream(folder / "data/lumo" / lumo::ShareStatesManager::kStatesFileName))) {
    saved[entry["id"]] = entry["state"];
  }
  for (const auto& shot : shots) {
    const std::string path = lumo::relativeScreenCapturePath(shot->fileURL());
    const auto it = last.find(path);
    const std::string state = it == last.end() ? "none" : std::string(rawValue(it->second));
    ++outcomes[state];
    wrong += state != "uploaded" || saved[path] != "uploaded";
  }
  std::error_code ec;
  fs::remove_all(folder, ec);

  std::cout << count << " captures (" << megabytes << " MB) in " << seconds << " s:";
  for (const auto& [state, n] : outcomes) std::cout << " " << state << " " << n;
  std::cout << "; peak threads " << peakThreads << ", descriptors " << peakDescriptors << ", VmHWM "
            << peakKiB / 1024.0 << " MiB, " << (peakKiB - baselineKiB) / 1024.0
            << " MiB over the RSS before the first share (" << baselineKiB / 1024.0 << " MiB)\n";
  if (wrong) std::cerr << "bench_load: " << wrong << " captures did not end uploaded\n";

  const nlohmann::json extra = {{"captures", count}, {"seconds", seconds}, {"outcomes", outcomes}};
  const std::string of = std::to_string(count) + " captures at once, peak ";
  lumo::bench::Report report;
  report.add(of + "threads (target <= 32)", "threads", static_cast<double>(peakThreads),
             std::nullopt, true, extra);
  report.add(of + "open descriptors (target <= 256)", "fds", static_cast<double>(peakDescriptors),
             std::nullopt, true, extra);
  report.add(of + "memory growth, VmHWM over the RSS before (target <= 64)", "MiB",
             static_cast<double>(peakKiB - baselineKiB) / 1024.0, std::nullopt, true,
             {{"baseline_rss_mib", static_cast<double>(baselineKiB) / 1024.0},
              {"vmhwm_mib", static_cast<double>(peakKiB) / 1024.0}});
  return report.write() && wrong == 0 ? 0 : 1;
}
