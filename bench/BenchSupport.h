#pragma once

// What the benchmarks share: files to work on, our own resident memory, and a peer tool run as
// a child with its output, wall time and peak resident size.

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace lumo::bench {

// Writes `mib` MiB of pseudo-random bytes to `path`, a MiB at a time so that writing costs no
// memory; returns false when writing failed.
inline bool writeRandomFile(const std::filesystem::path& path, int mib) {
  std::ofstream out(path, std::ios::binary);
  std::vector<std::uint64_t> chunk(1 << 17);
  std::uint64_t x = 0x9E3779B97F4A7C15ull;
  for (int i = 0; i < mib; ++i) {
    for (auto& word : chunk) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      word = x;
    }
    out.write(reinterpret_cast<const char*>(chunk.data()),
              static_cast<std::streamsize>(chunk.size() * sizeof(std::uint64_t)));
  }
  out.close();
  return static_cast<bool>(out);
}

// A value in kibibytes from /proc/self/status ("VmRSS", "VmHWM"); -1 when absent.
inline long statusKiB(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
  }
  return -1;
}

// Resets our peak resident size (VmHWM) to the current one.
inline void resetPeak() {
  std::ofstream("/proc/self/clear_refs") << "5";
}

// User and system time in `usage`, in seconds.
inline double cpuSeconds(const struct rusage& usage) {
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The processor time our process has used so far, all threads together, in seconds.
inline double ourCpuSeconds() {
  struct rusage usage {};
  ::getrusage(RUSAGE_SELF, &usage);
  return cpuSeconds(usage);
}

// A child process run to its end: what it wrote on stdout, its wall time from spawning to
// reaping, its processor time and peak resident size, and whether it exited with 0.
struct ProcessRun {
  std::string output;
  double seconds = -1;
  double cpuSeconds = -1;
  long maxRssKiB = -1;
  bool succeeded = false;
};

// Runs `arguments` (looked up on PATH) with stdout captured, stdin and stderr inherited.
inline ProcessRun runProcess(const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  ProcessRun run;
  int out[2];
  if (::pipe(out) != 0) return run;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  pid_t pid = -1;
  const auto start = std::chrono::steady_clock::now();
  const int spawned = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  char buffer[4096];
  for (ssize_t n; spawned == 0 && (n = ::read(out[0], buffer, sizeof buffer)) > 0;) {
    run.output.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(out[0]);
  int status = 0;
  struct rusage usage {};
  if (spawned != 0 || ::wait4(pid, &status, 0, &usage) != pid) return run;
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.cpuSeconds = cpuSeconds(usage);
  run.maxRssKiB = usage.ru_maxrss;
  run.succeeded = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return run;
}

inline double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace lumo::bench
