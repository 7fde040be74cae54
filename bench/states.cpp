// Share state updates under load: 100,000 updates over 10,000 captures from 4 threads; and the
// load of a 16 MiB states file.
//
// Figures: the median and p99 time an update holds its caller, the number of writes of the
// states file (saves are coalesced, so far fewer than updates), and the time from the last update
// until the file holds the final states. Each thread owns a quarter of the captures, so the final
// states are known in advance and the file is checked against them.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "BenchHost.h"
#include "BenchReport.h"
#include "lumo/capture/Screenshot.h"
#include "lumo/registry/Resolver.h"
#include "lumo/sharing/EnvironmentHelperService.h"
#include "lumo/sharing/ShareServiceError.h"
#include "lumo/sharing/ShareStatesManager.h"
#include "lumo/storage/DirectoriesManager.h"
#include "lumo/storage/LocalFilesManager.h"
#include "lumo/support/Log.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using StateMap = std::map<std::string, std::string>;

constexpr int kThreads = 4;
constexpr int kCaptures = 10000;
constexpr int kUpdates = 100000;

void registerHost() {
  using lumo::Resolver;
  Resolver::reset();
  Resolver::registerInMain<lumo::EnvironmentHelperService>(
      [] { return std::make_shared<lumo::bench::QuietEnvironment>(); });
  Resolver::registerInMain<lumo::LogService>([] {
    return std::make_shared<lumo::Log>();
  }).scope(Resolver::application());
  Resolver::registerInMain<lumo::DirectoriesService>([] {
    return std::make_shared<lumo::DirectoriesManager>();
  }).scope(Resolver::application());
  Resolver::registerInMain<lumo::LocalFilesService>([] {
    return std::make_shared<lumo::LocalFilesManager>();
  }).scope(Resolver::application());
}

// Update k of a capture reports kinds[k % 6]; the last one decides the final state.
lumo::ShareState report(lumo::ShareStatesManager& store, const lumo::Screenshot& shot, int k) {
  switch (k % 6) {
    case 0:
      store.screencaptureStartedUploading(shot);
      return lumo::ShareState::uploading;
    case 1:
      store.screencaptureUploadComplete(shot);
      return lumo::ShareState::uploaded;
    case 2:
      store.screenCaptureRemoteStateUpdated(shot, false);
      return lumo::ShareState::notUploaded;
    case 3:
      store.screencaptureUploadError(shot, lumo::ShareServiceError::failedUpload);
      return lumo::ShareState::error;
    case 4:
      store.screencaptureUploadCancelled(shot);
      return lumo::ShareState::cancelled;
    default:
      store.screencapturePreparingForUploading(shot);
      return lumo::ShareState::preparingForUploading;
  }
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

StateMap parseStates(const std::string& text) {
  StateMap states;
  auto doc = nlohmann::json::parse(text, nullptr, false);
  if (!doc.is_array()) return {};
  for (const auto& item : doc) {
    if (!item.is_object() || !item["id"].is_string() || !item["state"].is_string()) return {};
    states[item["id"].get<std::string>()] = item["state"].get<std::string>();
  }
  return states;
}

// Notes the moment of every rename onto the states file (each save ends with one), on a thread
// of its own so that the moments are those of the renames, not of a later look.
class SaveWatch {
 public:
  explicit SaveWatch(const fs::path& folder)
      : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)),
        watch_(inotify_add_watch(fd_, folder.c_str(), IN_MOVED_TO)),
        thread_([this] { run(); }) {}
  ~SaveWatch() { stop(); }

  // Stops watching once every rename made so far has been seen.
  void stop() {
    if (!thread_.joinable()) return;
    stopping_.store(true);
    thread_.join();
    close(fd_);
  }
  bool ok() const { return fd_ >= 0 && watch_ >= 0 && !overflow_; }
  const std::vector<Clock::time_point>& saves() const { return saves_; }

 private:
  void run() {
    for (;;) {
      const bool last = stopping_.load();  // renames before stop() are queued by now
      pollfd p{fd_, POLLIN, 0};
      poll(&p, 1, last ? 0 : 20);
      const auto now = Clock::now();
      alignas(inotify_event) char buffer[64 * 1024];
      for (ssize_t n; (n = read(fd_, buffer, sizeof buffer)) > 0;) {
        for (char* q = buffer; q < buffer + n;) {
          auto* e = reinterpret_cast<inotify_event*>(q);
          if (e->mask & IN_Q_OVERFLOW) overflow_ = true;
          if (e->len && std::string(e->name) == "share_states.json") saves_.push_back(now);
          q += sizeof(inotify_event) + e->len;
        }
      }
      if (last) return;
    }
  }

  int fd_;
  int watch_;
  std::atomic<bool> stopping_{false};
  bool overflow_ = false;                 // written by the thread, read after stop()
  std::vector<Clock::time_point> saves_;  // written by the thread, read after stop()
  std::thread thread_;
};

struct Figures {
  double medianMicros = 0;
  double p99Micros = 0;
  double writes = 0;
  double finalMillis = 0;
  bool correct = false;
};

double percentile(std::vector<double>& values, double p) {
  const auto k = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1));
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(k), values.end());
  return values[k];
}

Figures runOnce() {
  std::string pattern = (fs::temp_directory_path() / "lumo-bench-states-XXXXXX").string();
  if (!mkdtemp(pattern.data())) return {};
  const fs::path home = pattern;
  const fs::path internal = home / "lumo";
  fs::create_directories(internal);
  setenv("XDG_DATA_HOME", home.c_str(), 1);
  registerHost();

  std::vector<lumo::Screenshot> shots;
  shots.reserve(kCaptures);
  for (int i = 0; i < kCaptures; ++i) {
    shots.emplace_back(
        lumo::Url::fileURL(home / "Documents" / ("Screen Shot " + std::to_string(i) + ".png")));
  }

  Figures figures;
  {
    auto store = std::make_shared<lumo::ShareStatesManager>();  // writes "[]"
    SaveWatch watch(internal);

    std::vector<std::vector<double>> times(kThreads);
    std::vector<lumo::ShareState> finalStates(kCaptures, lumo::ShareState::unknown);
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        const int perThread = kUpdates / kThreads;
        const int first = t * (kCaptures / kThreads);
        const int count = kCaptures / kThreads;
        times[t].reserve(perThread);
        ready.fetch_add(1);
        while (ready.load() < kThreads) std::this_thread::yield();
        for (int i = 0; i < perThread; ++i) {
          const int index = first + i % count;
          const auto start = Clock::now();
          const lumo::ShareState state = report(*store, shots[index], i / count + index);
          const auto end = Clock::now();
          times[t].push_back(std::chrono::duration<double, std::micro>(end - start).count());
          finalStates[index] = state;
        }
      });
    }
    for (auto& thread : threads) thread.join();
    const auto lastUpdate = Clock::now();
    store->waitUntilSaved();
    watch.stop();

    // The last rename is that of the save after the last update, which holds the final states
    // (it may have ended before the updaters were joined: then 0).
    StateMap expected;
    for (int i = 0; i < kCaptures; ++i) {
      expected["/Screen Shot " + std::to_string(i) + ".png"] =
          std::string(lumo::rawValue(finalStates[i]));
    }
    const auto& saves = watch.saves();
    figures.writes = static_cast<double>(saves.size());
    figures.correct = watch.ok() && !saves.empty() &&
                      parseStates(readFile(internal / "share_states.json")) == expected;
    if (!saves.empty() && saves.back() > lastUpdate) {
      figures.finalMillis =
          std::chrono::duration<double, std::milli>(saves.back() - lastUpdate).count();
    }

    std::vector<double> all;
    for (auto& perThread : times) all.insert(all.end(), perThread.begin(), perThread.end());
    figures.medianMicros = percentile(all, 0.5);
    figures.p99Micros = percentile(all, 0.99);
  }
  lumo::Resolver::reset();
  std::error_code ec;
  fs::remove_all(home, ec);
  return figures;
}

// Loading a 16 MiB states file, as a store's construction does on its caller's thread, against
// Python's json.load of the same file (C-accelerated; timed inside Python, without start-up).
constexpr std::size_t kLargeFileBytes = 16 << 20;
constexpr int kLoads = 5;

struct LoadFigures {
  double millis = 0;
  double cpuMillis = 0;  // of the loading thread: what a busy machine does not inflate
  double peerMillis = 0;
  bool correct = false;
};

// Entries as the store writes them, ids of the length of usual capture names.
const char* const kLargeFileStates[] = {"uploaded",  "error",     "notUploaded",
                                        "cancelled", "uploading", "preparingForUploading"};

std::string largeStatesFile(int& entries) {
  std::string text = "[";
  for (entries = 0; text.size() < kLargeFileBytes - 100; ++entries) {
    if (entries) text += ',';
    text += R"({"id":"/Screen Shot )" + std::to_string(entries) + R"(.png","state":")" +
            kLargeFileStates[entries % 6] + "\"}";
  }
  return text + "]";
}

double threadCpuMillis() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

double pythonLoadMillis(const fs::path& file) {
  const std::string command =
      "/usr/bin/python3 -c 'import json, sys, time\n"
      "best = []\n"
      "for _ in range(" +
      std::to_string(kLoads) +
      "):\n"
      "    t = time.perf_counter(); json.load(open(sys.argv[1], \"rb\")); "
      "best.append(time.perf_counter() - t)\n"
      "print(sorted(best)[len(best) // 2] * 1000)' '" +
      file.string() + "'";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return 0;
  double millis = 0;
  if (fscanf(pipe, "%lf", &millis) != 1) millis = 0;
  pclose(pipe);
  return millis;
}

LoadFigures runLoads() {
  std::string pattern = (fs::temp_directory_path() / "lumo-bench-states-XXXXXX").string();
  if (!mkdtemp(pattern.data())) return {};
  const fs::path home = pattern;
  const fs::path file = home / "lumo" / "share_states.json";
  fs::create_directories(file.parent_path());
  setenv("XDG_DATA_HOME", home.c_str(), 1);
  registerHost();
  int entries = 0;
  const std::string text = largeStatesFile(entries);
  std::ofstream(file, std::ios::binary) << text;

  LoadFigures figures;
  std::vector<double> times, cpuTimes;
  bool correct = true;
  for (int i = 0; i < kLoads; ++i) {
    const double cpuStart = threadCpuMillis();
    const auto start = Clock::now();
    auto store = std::make_shared<lumo::ShareStatesManager>();
    times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    cpuTimes.push_back(threadCpuMillis() - cpuStart);
    // The file is taken as it is (an upload reads back as an error) and never rewritten.
    for (const int k : {0, 4, 5, entries - 1}) {
      const auto state = store->getState(lumo::Screenshot(
          lumo::Url::fileURL(home / "Documents" / ("Screen Shot " + std::to_string(k) + ".png"))));
      const std::string_view expected = k % 6 == 4 ? "error" : kLargeFileStates[k % 6];
      correct = correct && lumo::rawValue(state) == expected;
    }
    correct = correct && readFile(file) == text;
  }
  std::sort(times.begin(), times.end());
  figures.millis = times[times.size() / 2];
  std::sort(cpuTimes.begin(), cpuTimes.end());
  figures.cpuMillis = cpuTimes[cpuTimes.size() / 2];
  figures.peerMillis = pythonLoadMillis(file);
  figures.correct = correct;
  lumo::Resolver::reset();
  std::error_code ec;
  fs::remove_all(home, ec);
  return figures;
}

std::vector<Figures> gRuns;

void BM_StateUpdates(benchmark::State& state) {
  for (auto _ : state) {
    const auto start = Clock::now();
    Figures figures = runOnce();
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    state.counters["median_us"] = figures.medianMicros;
    state.counters["p99_us"] = figures.p99Micros;
    state.counters["writes"] = figures.writes;
    state.counters["final_ms"] = figures.finalMillis;
    state.counters["correct"] = figures.correct ? 1 : 0;
    gRuns.push_back(figures);
  }
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  int repetitions = 3;
  if (const char* text = std::getenv("LUMO_BENCH_STATES_REPETITIONS")) {
    repetitions = std::max(1, std::atoi(text));
  }
  benchmark::RegisterBenchmark("BM_StateUpdates", BM_StateUpdates)
      ->Iterations(1)
      ->Repetitions(repetitions)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (gRuns.empty()) return 1;

  std::vector<double> medians, p99s, writes, finals;
  bool correct = true;
  for (const Figures& f : gRuns) {
    medians.push_back(f.medianMicros);
    p99s.push_back(f.p99Micros);
    writes.push_back(f.writes);
    finals.push_back(f.finalMillis);
    correct = correct && f.correct;
  }
  const double writeShare = 100.0 * median(writes) / kUpdates;
  std::cout << kUpdates << " updates over " << kCaptures << " captures from " << kThreads
            << " threads (median of " << gRuns.size() << " runs): median " << median(medians)
            << " us (target <= 10), p99 " << median(p99s) << " us, " << median(writes)
            << " file writes = " << writeShare << "% of updates (target <= 1%), final states on "
            << "disk " << median(finals) << " ms after the last update, file "
            << (correct ? "correct" : "WRONG") << "\n";

  const LoadFigures load = runLoads();
  std::cout << "16 MiB states file load (median of " << kLoads << "): " << load.millis
            << " ms (target <= 150; " << load.cpuMillis << " ms CPU), python3 json.load "
            << load.peerMillis << " ms, states " << (load.correct ? "correct" : "WRONG") << "\n";
  correct = correct && load.correct;

  lumo::bench::Report report;
  report.add("update, median on the caller's thread", "us", median(medians), std::nullopt, true);
  report.add("update, p99 on the caller's thread", "us", median(p99s), std::nullopt, true);
  report.add("file writes per 100,000 updates", "writes", median(writes), std::nullopt, true);
  report.add("final states on disk after the last update", "ms", median(finals), std::nullopt,
             true);
  report.add("16 MiB states file load (target 150 ms)", "ms", load.millis,
             load.peerMillis > 0 ? std::optional(load.peerMillis) : std::nullopt, true,
             {{"target", 150}, {"peer_tool", "python3 json.load"}, {"cpu_ms", load.cpuMillis}});
  report.add("final file correct", "bool", correct ? 1 : 0, std::nullopt, false);
  return report.write() && correct ? 0 : 1;
}
