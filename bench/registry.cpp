// Nanoseconds per resolution through the process-wide container, lock included (the thread's
// CPU time per resolution; the wall time goes in "real_ns").
#include <benchmark/benchmark.h>

#include <map>
#include <memory>
#include <string>

#include "BenchReport.h"
#include "lumo/registry/Resolver.h"

namespace {

using lumo::Resolver;

struct AppService {
  virtual ~AppService() = default;
  int value = 1;
};
struct Leaf {
  int value = 3;
};
struct Middle {
  explicit Middle(std::shared_ptr<Leaf> l) : leaf(std::move(l)) {}
  std::shared_ptr<Leaf> leaf;
};
struct Top {
  explicit Top(std::shared_ptr<Middle> m) : middle(std::move(m)) {}
  std::shared_ptr<Middle> middle;
};
struct UniqueService {
  int value = 2;
};
struct NeverRegistered {};

void registerAll() {
  Resolver::reset();
  Resolver::registerInMain<AppService>([] {
    return std::make_shared<AppService>();
  }).scope(Resolver::application());
  Resolver::registerInMain<Leaf>([] { return std::make_shared<Leaf>(); }).scope(Resolver::graph());
  Resolver::registerInMain<Middle>([](Resolver& r) {
    return std::make_shared<Middle>(r.resolve<Leaf>());
  }).scope(Resolver::graph());
  Resolver::registerInMain<Top>([](Resolver& r) {
    return std::make_shared<Top>(r.resolve<Middle>());
  }).scope(Resolver::graph());
  Resolver::registerInMain<UniqueService>([] {
    return std::make_shared<UniqueService>();
  }).scope(Resolver::unique());
}

void BM_ApplicationScoped(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(Resolver::resolveFromRoot<AppService>());
}
BENCHMARK(BM_ApplicationScoped);

void BM_GraphChainOfThree(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(Resolver::resolveFromRoot<Top>());
}
BENCHMARK(BM_GraphChainOfThree);

void BM_UniqueScoped(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(Resolver::resolveFromRoot<UniqueService>());
}
BENCHMARK(BM_UniqueScoped);

void BM_OptionalMiss(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(Resolver::optionalFromRoot<NeverRegistered>());
}
BENCHMARK(BM_OptionalMiss);

// Keeps the console output and collects ns per iteration for the JSON report.
class Collector : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    // One figure per benchmark: the median when repetitions are asked for, else the run.
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.run_type == Run::RT_Aggregate && !median) continue;
      auto& figure = figures[run.run_name.function_name];
      if (figure.fromMedian && !median) continue;
      const double scale = benchmark::GetTimeUnitMultiplier(benchmark::kNanosecond) /
                           benchmark::GetTimeUnitMultiplier(run.time_unit);
      figure = Figure{run.GetAdjustedRealTime() * scale, run.GetAdjustedCPUTime() * scale, median};
    }
    ConsoleReporter::ReportRuns(runs);
  }
  struct Figure {
    double realNs = 0;
    double cpuNs = 0;
    bool fromMedian = false;
  };
  std::map<std::string, Figure> figures;
};

}  // namespace

int main(int argc, char** argv) {
  registerAll();
  benchmark::Initialize(&argc, argv);
  Collector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);
  benchmark::Shutdown();

  const std::map<std::string, std::string> figures = {
      {"BM_ApplicationScoped", "resolve, application scope"},
      {"BM_GraphChainOfThree", "resolve, graph scope, chain of 3"},
      {"BM_UniqueScoped", "resolve, unique scope"},
      {"BM_OptionalMiss", "optional, not registered"},
  };
  lumo::bench::Report report;
  for (const auto& [name, figure] : figures) {
    auto it = collector.figures.find(name);
    if (it == collector.figures.end()) continue;
    // The thread's CPU time: the machines are shared, and wall time there counts the
    // preemptions by other work as well.
    report.add(figure, "ns", it->second.cpuNs, std::nullopt, true,
               {{"real_ns", it->second.realNs}});
  }
  return report.write() ? 0 : 1;
}
