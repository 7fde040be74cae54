// A 256 MiB file uploaded through the reference stack by an UploadSingleFileTask ("upload/start",
// the streamed multipart post to the storage front), against `curl` posting the same multipart
// form (the same six fields, the file from disk with `-F file=@path`) to the same storage front.
// Each repetition runs both, one after the other and taking turns at going first, so that both
// see the same load on the machine; the figures are the medians, and the peak resident memory our
// process gains while the task runs (its high-water mark is reset before each upload).
//
//   eval "$(scripts/devstack start)"; build/release/bench/bench_upload
//
// LUMO_BENCH_UPLOAD_MIB and LUMO_BENCH_UPLOAD_REPETITIONS shrink a run for a quick look.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "BenchReport.h"
#include "lumo/account/UserAccountStore.h"
#include "lumo/api/APISettings.h"
#include "lumo/platform/HttpSession.h"
#include "lumo/platform/OperationQueue.h"
#include "lumo/registry/Resolver.h"
#include "lumo/sharing/EnvironmentHelperService.h"
#include "lumo/support/DispatchQueue.h"
#include "lumo/support/Log.h"
#include "lumo/tasks/UploadSingleFileTask.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Stack {
  std::string apiBase, shareBase, storageUrl, token;
};
Stack gStack;
fs::path gFile;
std::uint64_t gFileSize = 0;

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

int envInt(const char* name, int fallback) {
  const std::string text = env(name);
  return text.empty() ? fallback : std::max(1, std::atoi(text.c_str()));
}

class QuietEnvironment : public lumo::EnvironmentHelperService {
 public:
  bool isDebug() const override { return false; }
};

// The delegate's final call, awaited on the main queue.
class FinalCall : public lumo::UploadTaskDelegate {
 public:
  void taskUploadStarted(const std::shared_ptr<lumo::UploadTask>&) override {}
  void taskProgressUpdated(const std::shared_ptr<lumo::UploadTask>&, double) override {}
  void taskUploadComplete(const std::shared_ptr<lumo::UploadTask>&, std::int64_t,
                          std::int64_t) override {
    end(std::nullopt);
  }
  void taskUploadError(const std::shared_ptr<lumo::UploadTask>&, std::int64_t,
                       const lumo::Error& error, std::int64_t) override {
    end(error.localizedDescription());
  }
  void taskCancelled(const std::shared_ptr<lumo::UploadTask>&) override { end("cancelled"); }

  bool ended() const {
    std::lock_guard lock(mu_);
    return ended_;
  }
  std::optional<std::string> failure() const {
    std::lock_guard lock(mu_);
    return failure_;
  }

 private:
  void end(std::optional<std::string> failure) {
    std::lock_guard lock(mu_);
    ended_ = true;
    failure_ = std::move(failure);
  }
  mutable std::mutex mu_;
  bool ended_ = false;                  // guarded by mu_
  std::optional<std::string> failure_;  // guarded by mu_
};

std::string randomKey(const std::string& extension) {
  static std::mt19937_64 rng(std::random_device{}());
  static const char* hex = "0123456789abcdef";
  std::string key;
  for (int i = 0; i < 32; ++i) key += hex[rng() % 16];
  return key + "." + extension;
}

// A value in kilobytes from /proc/self/status ("VmRSS", "VmHWM").
long statusKiB(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
  }
  return -1;
}

// Resets the peak resident size to the current one.
void resetPeak() {
  std::ofstream("/proc/self/clear_refs") << "5";
}

// Writes `mib` MiB of pseudo-random bytes, a MiB at a time, so that writing costs no memory.
void writeFile(const fs::path& path, int mib) {
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
}

struct OurRun {
  double seconds = -1;
  double peakMiB = -1;
};

// One upload through the task, timed from queuing to its final call.
OurRun runOurs() {
  const std::string key = randomKey("bin");
  lumo::UploadTaskComponents components(
      lumo::Url::fileURL(gFile), *lumo::Url::parse(gStack.shareBase + "/" + key),
      "application/octet-stream", static_cast<std::int64_t>(gFileSize));
  auto task = std::make_shared<lumo::UploadSingleFileTask>(components);
  auto delegate = std::make_shared<FinalCall>();
  task->setDelegate(delegate);
  lumo::OperationQueue queue;

  resetPeak();
  const long baseline = statusKiB("VmRSS");
  const auto start = Clock::now();
  queue.addOperation(task);
  lumo::MainQueue::runUntil([&] { return delegate->ended(); }, std::chrono::minutes(10));
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const long peak = statusKiB("VmHWM");
  if (!delegate->ended() || delegate->failure()) {
    std::cerr << "bench_upload: our upload failed: " << delegate->failure().value_or("timeout")
              << "\n";
    return {};
  }
  return {seconds, (peak - baseline) / 1024.0};
}

std::string shellQuoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// One "upload/start" for `key`, made by the bench itself (not timed): the presigned post.
std::optional<nlohmann::json> startUpload(const std::string& key) {
  auto session = lumo::HttpSession::make();
  lumo::HttpRequest request(*lumo::Url::parse(gStack.apiBase + "/api/v1/upload/start/"), "POST");
  request.setValue("ApiKey " + gStack.token, "Authorization");
  request.setValue("application/json", "Content-Type");
  const std::string body = nlohmann::json{
      {"content_type", "application/octet-stream"},
      {"file_size", gFileSize},
      {"key", key}}.dump();
  request.body = std::vector<std::uint8_t>(body.begin(), body.end());
  std::promise<std::optional<nlohmann::json>> answer;
  session
      ->dataTask(std::move(request),
                 [&answer](std::optional<lumo::HttpResponse> response,
                           std::optional<std::vector<std::uint8_t>> data,
                           std::optional<lumo::Error> error) {
                   if (error || !response || response->statusCode != 200 || !data) {
                     answer.set_value(std::nullopt);
                     return;
                   }
                   answer.set_value(nlohmann::json::parse(data->begin(), data->end()));
                 })
      ->resume();
  auto result = answer.get_future().get();
  session->invalidateAndCancel();
  return result;
}

// The same form posted by curl, timed around the curl process.
double runCurl() {
  const std::string key = randomKey("bin");
  std::optional<nlohmann::json> start = startUpload(key);
  if (!start) {
    std::cerr << "bench_upload: upload/start for curl failed\n";
    return -1;
  }
  const nlohmann::json& post = (*start)["presigned_post"];
  const nlohmann::json& fields = post["fields"];
  std::string command =
      "curl --silent --show-error --output /dev/null --write-out '%{http_code}'"
      " --noproxy '*' -H 'Expect:'";
  auto field = [&](const std::string& name, const std::string& value) {
    command += " --form-string " + shellQuoted(name + "=" + value);
  };
  field("content-type", "application/octet-stream");
  field("policy", fields["policy"].get<std::string>());
  field("signature", fields["signature"].get<std::string>());
  field("acl", fields["acl"].get<std::string>());
  field("key", (*start)["key"].get<std::string>());
  field("AWSAccessKeyId", fields["AWSAccessKeyId"].get<std::string>());
  command += " -F " + shellQuoted("file=@" + gFile.string() + ";filename=" + key +
                                  ";type=application/octet-stream");
  command += " " + shellQuoted(post["url"].get<std::string>());

  const auto begin = Clock::now();
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  char status[16] = {};
  const bool read = std::fgets(status, sizeof status, pipe) != nullptr;
  const int exitStatus = ::pclose(pipe);
  const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
  if (!read || exitStatus != 0 || std::string(status) != "204") {
    std::cerr << "bench_upload: curl failed (status " << status << ")\n";
    return -1;
  }
  return seconds;
}

// Lets the storage finish writing the previous object before the next upload is timed.
void settle() {
  ::sync();
  std::this_thread::sleep_for(std::chrono::seconds(2));
}

void BM_Upload(benchmark::State& state) {
  static int round = 0;
  for (auto _ : state) {
    // The two clients take turns at going first, so that neither always meets the traces of
    // the other's upload.
    const bool oursFirst = round++ % 2 == 0;
    OurRun ours;
    double curl = -1;
    if (oursFirst) {
      settle();
      ours = runOurs();
      settle();
      curl = runCurl();
    } else {
      settle();
      curl = runCurl();
      settle();
      ours = runOurs();
    }
    if (ours.seconds <= 0 || curl <= 0) {
      state.SkipWithError(ours.seconds <= 0 ? "our upload failed" : "curl failed");
      break;
    }
    state.SetIterationTime(ours.seconds);
    state.counters["ours_s"] = ours.seconds;
    state.counters["curl_s"] = curl;
    state.counters["ratio"] = ours.seconds / curl;
    state.counters["peak_rss_mib"] = ours.peakMiB;
  }
}

class Collector : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
      ours.push_back(run.counters.at("ours_s"));
      curl.push_back(run.counters.at("curl_s"));
      peak.push_back(run.counters.at("peak_rss_mib"));
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::vector<double> ours, curl, peak;
};

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void installServices() {
  // The account store keeps the token in the application's defaults: a private folder.
  std::string folder = (fs::temp_directory_path() / "lumo-bench-upload-XXXXXX").string();
  if (::mkdtemp(folder.data()) != nullptr) ::setenv("XDG_CONFIG_HOME", folder.c_str(), 1);
  lumo::APISettings::setServiceAddresses({gStack.apiBase, gStack.shareBase});
  lumo::Resolver::registerInMain<lumo::EnvironmentHelperService>(
      [] { return std::make_shared<QuietEnvironment>(); });
  lumo::Resolver::registerInMain<lumo::LogService>([] {
    return std::make_shared<lumo::Log>();
  }).scope(lumo::Resolver::application());
  lumo::Resolver::registerInMain<lumo::UserAccountStoreService>([] {
    return std::make_shared<lumo::UserAccountStore>();
  }).scope(lumo::Resolver::application());
  lumo::Resolver::resolveFromRoot<lumo::UserAccountStoreService>()->login(gStack.token);
}

}  // namespace

int main(int argc, char** argv) {
  gStack = {env("LUMO_API_BASE"), env("LUMO_SHARE_BASE"), env("LUMO_STORAGE_URL"),
            env("LUMO_DEV_TOKEN")};
  if (gStack.apiBase.empty() || gStack.shareBase.empty() || gStack.token.empty()) {
    std::cerr << "bench_upload: the reference service is not configured; run: "
                 "eval \"$(scripts/devstack start)\"\n";
    return 1;
  }
  const int mib = envInt("LUMO_BENCH_UPLOAD_MIB", 256);
  const int repetitions = envInt("LUMO_BENCH_UPLOAD_REPETITIONS", 3);
  installServices();

  std::string folder = (fs::temp_directory_path() / "lumo-bench-file-XXXXXX").string();
  if (::mkdtemp(folder.data()) == nullptr) return 1;
  gFile = fs::path(folder) / "upload.bin";
  writeFile(gFile, mib);
  gFileSize = fs::file_size(gFile);

  benchmark::RegisterBenchmark("BM_Upload", BM_Upload)
      ->UseManualTime()
      ->Iterations(1)
      ->Repetitions(repetitions)
      ->Unit(benchmark::kMillisecond);
  benchmark::Initialize(&argc, argv);
  Collector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);
  benchmark::Shutdown();
  fs::remove_all(folder);

  if (collector.ours.empty()) {
    std::cerr << "bench_upload: no run succeeded\n";
    return 1;
  }
  const double ours = median(collector.ours);
  const double curl = median(collector.curl);
  const double peak = *std::max_element(collector.peak.begin(), collector.peak.end());
  std::cout << "upload of " << mib << " MiB: ours " << ours << " s, curl " << curl << " s, ratio "
            << ours / curl << "; peak RSS above baseline " << peak << " MiB\n";

  lumo::bench::Report report;
  report.add("upload " + std::to_string(mib) + " MiB, wall time (target <= 1.1x curl)", "s", ours,
             curl, true, {{"runs", collector.ours.size()}});
  report.add("upload " + std::to_string(mib) + " MiB, peak RSS above baseline (target <= 64)",
             "MiB", peak, std::nullopt, true);
  return report.write() ? 0 : 1;
}
