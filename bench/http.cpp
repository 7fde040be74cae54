// Throughput of small GETs: 10,000 requests with 16 in flight through one HttpSession, against
// `curl --parallel --parallel-max 16` fetching the same URLs from the same server
// (scripts/bench-http-peer). Two fronts: the reference service, and nginx (scripts/lib/nginx.sh)
// when LUMO_NGINX_BASE names one; the reference service is slow enough to bound both clients,
// nginx is not. Each repetition runs both clients, one after the other and taking turns at going
// first, so that both see the same load on the machine; the figures are the medians.
//
//   scripts/bench http      (starts both fronts)
//
// The session's per-host bound is raised to the 16 in flight, or it would hold the session to
// its default of 6 connections while curl opens 16.
//
// LUMO_BENCH_HTTP_REQUESTS and LUMO_BENCH_HTTP_REPETITIONS shrink a run for a quick look.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "BenchReport.h"
#include "BenchSupport.h"
#include "lumo/platform/HttpSession.h"

namespace {

using Clock = std::chrono::steady_clock;
using lumo::bench::median;

constexpr int kInFlight = 16;
constexpr std::size_t kBodySize = 128;

int gRequests = 10000;

// A server the GETs go to: what the figures call it, and its address without a trailing slash.
struct Front {
  std::string name;
  std::string base;
};

int envInt(const char* name, int fallback) {
  const char* text = std::getenv(name);
  return text && *text ? std::max(1, std::atoi(text)) : fallback;
}

std::string urlFor(const std::string& base, int i) {
  return base + "/__dev__/bytes/" + std::to_string(kBodySize) + "?i=" + std::to_string(i);
}

// Seconds for `count` GETs through one session, kInFlight at a time: each completion starts
// the next request, as a client pipeline would. Returns -1 when a request failed.
double runSession(const std::string& base, int count) {
  lumo::HttpSessionConfiguration configuration;
  configuration.httpMaximumConnectionsPerHost = kInFlight;
  auto session = lumo::HttpSession::make(configuration);
  std::atomic<int> next{0};
  std::atomic<int> done{0};
  std::atomic<int> failures{0};
  std::promise<void> finished;

  std::function<void()> launch = [&] {
    const int i = next.fetch_add(1);
    if (i >= count) return;
    auto url = lumo::Url::parse(urlFor(base, i));
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
double runCurl(const std::string& base, int count) {
  const std::string command = std::string(LUMO_SOURCE_DIR) + "/scripts/bench-http-peer '" + base +
                              "' " + std::to_string(count) + " " + std::to_string(kInFlight);
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  char line[64] = {};
  const bool read = std::fgets(line, sizeof line, pipe) != nullptr;
  const int status = ::pclose(pipe);
  if (!read || status != 0) return -1;
  return std::atof(line);
}

void smallGets(benchmark::State& state, const Front& front) {
  static int round = 0;
  for (auto _ : state) {
    // The two clients take turns at going first.
    double ours = -1;
    double curl = -1;
    if (round++ % 2 == 0) {
      ours = runSession(front.base, gRequests);
      curl = runCurl(front.base, gRequests);
    } else {
      curl = runCurl(front.base, gRequests);
      ours = runSession(front.base, gRequests);
    }
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

// Keeps the console output and collects the counters of every repetition, per benchmark.
class Collector : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
      Figures& figures = byName[run.run_name.function_name];
      figures.ours.push_back(run.counters.at("ours_req_per_s"));
      figures.curl.push_back(run.counters.at("curl_req_per_s"));
    }
    ConsoleReporter::ReportRuns(runs);
  }
  struct Figures {
    std::vector<double> ours;
    std::vector<double> curl;
  };
  std::map<std::string, Figures> byName;
};

// The front named by the environment variable `variable`, when it names a URL.
std::optional<Front> frontFrom(const char* variable, std::string name) {
  const char* base = std::getenv(variable);
  if (base == nullptr || *base == '\0' || !lumo::Url::parse(base)) return std::nullopt;
  Front front{std::move(name), base};
  while (!front.base.empty() && front.base.back() == '/') front.base.pop_back();
  return front;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<Front> fronts;
  if (auto reference = frontFrom("LUMO_API_BASE", "reference service")) {
    fronts.push_back(*reference);
  } else {
    std::cerr << "bench_http: LUMO_API_BASE is not set; run: eval \"$(scripts/devstack start)\"\n";
    return 1;
  }
  if (auto nginx = frontFrom("LUMO_NGINX_BASE", "nginx")) {
    fronts.push_back(*nginx);
  } else {
    std::cerr << "bench_http: LUMO_NGINX_BASE is not set: measuring the reference service only "
                 "(scripts/bench starts nginx too)\n";
  }
  gRequests = envInt("LUMO_BENCH_HTTP_REQUESTS", 10000);
  const int repetitions = envInt("LUMO_BENCH_HTTP_REPETITIONS", 3);

  for (const Front& front : fronts) {
    // Warm both clients and the server up (connections, the server's threads, libcurl).
    if (runSession(front.base, 200) < 0 || runCurl(front.base, 200) < 0) {
      std::cerr << "bench_http: the warm-up against the " << front.name << " at " << front.base
                << " failed; is it running?\n";
      return 1;
    }
    benchmark::RegisterBenchmark(("BM_SmallGets/" + front.name).c_str(), smallGets, front)
        ->Iterations(1)
        ->Repetitions(repetitions)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::Initialize(&argc, argv);
  Collector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);
  benchmark::Shutdown();

  lumo::bench::Report report;
  bool complete = true;
  for (const Front& front : fronts) {
    const auto found = collector.byName.find("BM_SmallGets/" + front.name);
    if (found == collector.byName.end() || found->second.ours.empty()) {
      complete = false;
      continue;
    }
    const double ours = median(found->second.ours);
    const double curl = median(found->second.curl);
    // The slow front bounds both clients; only the fast one shows a gap between them.
    const char* target = front.name == "nginx" ? "0.95" : "0.9";
    std::cout << front.name << ": small GETs, " << kInFlight << " in flight: ours " << ours
              << " req/s, curl " << curl << " req/s, ratio " << ours / curl
              << " (target >= " << target << ")\n";
    report.add(std::to_string(gRequests) + " GETs, " + std::to_string(kInFlight) +
                   " in flight, host bound " + std::to_string(kInFlight) + ", " + front.name,
               "req/s", ours, curl, /*lowerIsBetter=*/false);
  }
  return report.write() && complete ? 0 : 1;
}
