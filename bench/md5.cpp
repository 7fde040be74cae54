// Throughput of HashGenerator::hashValue on a 1 GiB file against md5sum and `openssl md5` on
// the same file in the same run, and how much the resident memory grows while hashing.
//
// The runs are interleaved (ours, md5sum, openssl, ours, ...) so that load from elsewhere on
// the machine hits all three alike; each figure is the best of its runs. The file is read once
// before timing, so every run reads from the page cache. LUMO_MD5_BENCH_BYTES sets another
// size; LUMO_MD5_BENCH_RUNS the number of runs per tool (default 5).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "BenchReport.h"
#include "lumo/capture/HashGenerator.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

std::uint64_t envNumber(const char* name, std::uint64_t fallback) {
  const char* value = std::getenv(name);
  return value && *value ? std::strtoull(value, nullptr, 10) : fallback;
}

const std::uint64_t kFileBytes = envNumber("LUMO_MD5_BENCH_BYTES", 1ULL << 30);
const int kRuns = static_cast<int>(envNumber("LUMO_MD5_BENCH_RUNS", 5));

fs::path gFile;
std::string gExpectedDigest;

// Writes `bytes` of pseudo-random data (MD5's speed does not depend on the content).
bool makeFile(const fs::path& path, std::uint64_t bytes) {
  std::ofstream out(path, std::ios::binary);
  std::vector<std::uint64_t> block(1 << 17);  // 1 MiB
  std::uint64_t x = 0x9E3779B97F4A7C15ULL;
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

// Runs `argv` with its standard output captured; returns the output, or "" on failure.
std::string runTool(const std::vector<std::string>& args) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  int spawned = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  std::string output;
  char buffer[4096];
  for (ssize_t n; spawned == 0 && (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;) {
    output.append(buffer, static_cast<size_t>(n));
  }
  ::close(pipeFds[0]);
  int status = 0;
  if (spawned != 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    return {};
  }
  return output;
}

// The digest in a tool's output: the first run of 32 hexadecimal digits.
std::string digestIn(const std::string& output) {
  for (size_t i = 0; i + 32 <= output.size(); ++i) {
    if (std::all_of(output.begin() + static_cast<long>(i),
                    output.begin() + static_cast<long>(i + 32),
                    [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); })) {
      return output.substr(i, 32);
    }
  }
  return {};
}

// Kibibytes of a "VmRSS:"-style line of /proc/self/status.
long statusKiB(const char* key) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(key, 0) == 0) return std::strtol(line.c_str() + std::strlen(key), nullptr, 10);
  }
  return -1;
}

// Resets the peak resident size (VmHWM) to the current size.
bool resetPeakRss() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
  clear.flush();
  return static_cast<bool>(clear);
}

void BM_HashGenerator(benchmark::State& state) {
  long growth = 0;
  for (auto _ : state) {
    resetPeakRss();
    const long before = statusKiB("VmRSS:");
    auto digest = lumo::HashGenerator::hashValue(lumo::Url::fileURL(gFile));
    growth = std::max(growth, statusKiB("VmHWM:") - before);
    if (digest != gExpectedDigest) state.SkipWithError("digest differs from md5sum's");
  }
  state.SetBytesProcessed(static_cast<int64_t>(kFileBytes) * state.iterations());
  state.counters["rss_growth_KiB"] = static_cast<double>(growth);
}

void BM_Tool(benchmark::State& state, std::vector<std::string> args) {
  for (auto _ : state) {
    if (digestIn(runTool(args)) != gExpectedDigest) state.SkipWithError("tool failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(kFileBytes) * state.iterations());
}

// Keeps the console output and collects, per tool, the best time and the memory growth.
class Collector : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred || run.iterations == 0) continue;
      const std::string name = run.benchmark_name();
      const std::string tool = name.substr(0, name.find('/'));
      const double seconds =
          run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
      auto [it, inserted] = bestSeconds.emplace(tool, seconds);
      if (!inserted) it->second = std::min(it->second, seconds);
      if (auto counter = run.counters.find("rss_growth_KiB"); counter != run.counters.end()) {
        rssGrowthKiB = std::max(rssGrowthKiB, static_cast<double>(counter->second));
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> bestSeconds;
  double rssGrowthKiB = 0;
};

}  // namespace

int main(int argc, char** argv) {
  const char* dirEnv = std::getenv("LUMO_BENCH_DIR");
  const fs::path dir = dirEnv && *dirEnv ? fs::path(dirEnv) : fs::temp_directory_path();
  gFile = dir / ("lumo-md5-bench-" + std::to_string(::getpid()) + ".bin");
  if (!makeFile(gFile, kFileBytes)) {
    std::fprintf(stderr, "cannot write %s\n", gFile.c_str());
    return 1;
  }
  // Reading it once puts it in the page cache, and gives the digest the others must match.
  gExpectedDigest = digestIn(runTool({"md5sum", gFile.native()}));
  if (gExpectedDigest.empty() || digestIn(runTool({"openssl", "md5", gFile.native()})).empty()) {
    std::fprintf(stderr, "md5sum and openssl are needed (scripts/setup installs them)\n");
    fs::remove(gFile);
    return 1;
  }

  for (int run = 1; run <= kRuns; ++run) {
    const std::string suffix = "/run:" + std::to_string(run);
    benchmark::RegisterBenchmark(("HashGenerator" + suffix).c_str(), BM_HashGenerator)
        ->Iterations(1)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("md5sum" + suffix).c_str(), BM_Tool,
                                 std::vector<std::string>{"md5sum", gFile.native()})
        ->Iterations(1)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("openssl" + suffix).c_str(), BM_Tool,
                                 std::vector<std::string>{"openssl", "md5", gFile.native()})
        ->Iterations(1)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::Initialize(&argc, argv);
  Collector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);
  benchmark::Shutdown();
  fs::remove(gFile);

  auto mbPerSecond = [&](const std::string& tool) -> std::optional<double> {
    auto it = collector.bestSeconds.find(tool);
    if (it == collector.bestSeconds.end() || it->second <= 0) return std::nullopt;
    return static_cast<double>(kFileBytes) / 1e6 / it->second;
  };
  const auto ours = mbPerSecond("HashGenerator");
  const auto md5sum = mbPerSecond("md5sum");
  const auto openssl = mbPerSecond("openssl");
  if (!ours) return 1;
  std::printf("\nMD5 of %llu bytes, best of %d runs: HashGenerator %.0f MB/s",
              static_cast<unsigned long long>(kFileBytes), kRuns, *ours);
  if (md5sum) std::printf(", md5sum %.0f MB/s (%.2fx)", *md5sum, *ours / *md5sum);
  if (openssl) std::printf(", openssl md5 %.0f MB/s (%.2fx)", *openssl, *ours / *openssl);
  std::printf("; peak RSS growth while hashing %.0f KiB\n", collector.rssGrowthKiB);

  lumo::bench::Report report;
  report.add("MD5 of a 1 GiB file vs md5sum (target >= 1.0x)", "MB/s", *ours, md5sum, false);
  report.add("MD5 of a 1 GiB file vs openssl md5 (target >= 0.95x)", "MB/s", *ours, openssl, false);
  report.add("peak RSS growth while hashing (target <= 8192 KiB)", "KiB", collector.rssGrowthKiB,
             std::nullopt, true);
  return report.write() ? 0 : 1;
}
