// Throughput of small GETs: 10,000 requests with 16 in flight through one HttpSession, against
// `curl --parallel --parallel-max 16` fetching the same URLs from the same server
// (scripts/bench-http-peer). Each repetition runs both, one after the other, so that both
// see the same load on the machine; the figures are the medians.
//
//   eval "$(scripts/devstack start)"; build/release/bench/bench_http
//
// LUMO_BENCH_HTTP_REQUESTS and LUMO_BENCH_HTTP_REPETITIONS shrink a run for a quick look.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <iostream>
#include <string>
#include <vector>

#include "BenchReport.h"
#include "lumo/platform/HttpSession.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kInFlight = 16;
constexpr std::size_t kBodySize = 128;

std::string gBase;  // the reference service
int gRequests = 10000;

int envInt(const char* name, int fallback) {
  const char* text = std::getenv(name);
  return text && *text ? std::max(1, std::atoi(text)) : fallback;
}

std::string urlFor(int i) {
  return gBase + "/__dev__/bytes/" + std::to_string(kBodySize) + "?i=" + std::to_string(i);
}

// Seconds for `count` GETs through one session, kInFlight at a time: each completion starts
// the next request, as a client pipeline would. Returns -1 when a request failed.
double runSession(int count) {
  auto session = lumo::HttpSession::make();
  std::atomic<int> next{0};
  std::atomic<int> done{0};
  std::atomic<int> failures{0};
  std::promise<void> finished;

  std::function<void()> launch = [&] {
    const int i = next.fetch_add(1);
    if (i >= count) return;
    auto url = lumo::Url::parse(urlFor(i));
    session
        ->dataTask(
            lumo::HttpRequest(*url),
            [&](std::optional<lumo::HttpResponse> response,
                std::optional<std::vector<std::uint8_t>> body, std::optional<lumo::Error> error) {
              if (error || !response || response->statusCode != 200 || !body ||
                  body->size() != kBodySize) {
                if (failures.fetch_add(1) == 0 && error) {
                  std::cerr << "bench_http: " << error->localizedDescription() << "\n";
                }
              }
              if (done.fetch_add(1) + 1 == count) {
                finished.set_value();
              } else {
                launch();
              }
            })
        ->resume();
  };

  const auto start = Clock::now();
  for (int k = 0; k < kInFlight; ++k) launch();
  finished.get_future().wait();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  session->invalidateAndCancel();
  return failures.load() == 0 ? seconds : -1;
}

// Seconds curl took for the same URLs, as the peer script measures it; -1 on failure.
double runCurl(int count) {
  const std::string command = std::string(LUMO_SOURCE_DIR) + "/scripts/bench-http-peer '" + gBase +
                              "' " + std::to_string(count) + " " + std::to_string(kInFlight);
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  char line[64] = {};
  const bool read = std::fgets(line, sizeof line, pipe) != nullptr;
  const int status = ::pclose(pipe);
  if (!read || status != 0) return -1;
  return std::atof(line);
}

void BM_SmallGets(benchmark::State& state) {
  for (auto _ : state) {
    const double ours = runSession(gRequests);
    const double curl = runCurl(gRequests);
    if (ours <= 0 || curl <= 0) {
      state.SkipWithError(ours <= 0 ? "a request through the session failed" : "curl failed");
      break;
    }
    state.SetIterationTime(ours);
    state.counters["ours_req_per_s"] = gRequests / ours;
    state.counters["curl_req_per_s"] = gRequests / curl;
    state.counters["ratio"] = curl / ours;
  }
}

// Keeps the console output and collects the counters of every repetition.
class Collector : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
      ours.push_back(run.counters.at("ours_req_per_s"));
      curl.push_back(run.counters.at("curl_req_per_s"));
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::vector<double> ours;
  std::vector<double> curl;
};

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  const char* base = std::getenv("LUMO_API_BASE");
  if (base == nullptr || *base == '\0' || !lumo::Url::parse(base)) {
    std::cerr << "bench_http: LUMO_API_BASE is not set; run: eval \"$(scripts/devstack start)\"\n";
    return 1;
  }
  gBase = base;
  while (!gBase.empty() && gBase.back() == '/') gBase.pop_back();
  gRequests = envInt("LUMO_BENCH_HTTP_REQUESTS", 10000);
  const int repetitions = envInt("LUMO_BENCH_HTTP_REPETITIONS", 3);

  // Warm both clients and the server up (connections, the server's threads, libcurl).
  if (runSession(200) < 0 || runCurl(200) < 0) {
    std::cerr << "bench_http: the warm-up failed; is the reference service running?\n";
    return 1;
  }

  benchmark::RegisterBenchmark("BM_SmallGets", BM_SmallGets)
      ->Iterations(1)
      ->Repetitions(repetitions)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::Initialize(&argc, argv);
  Collector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);
  benchmark::Shutdown();
  if (collector.ours.empty()) return 1;

  const double ours = median(collector.ours);
  const double curl = median(collector.curl);
  std::cout << "small GETs, " << kInFlight << " in flight: ours " << ours << " req/s, curl " << curl
            << " req/s, ratio " << ours / curl << " (target >= 0.9)\n";
  lumo::bench::Report report;
  report.add(std::to_string(gRequests) + " GETs, " + std::to_string(kInFlight) + " in flight",
             "req/s", ours, curl, /*lowerIsBetter=*/false);
  return report.write() ? 0 : 1;
}
