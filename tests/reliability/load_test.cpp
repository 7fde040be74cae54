// Two hundred captures through one share service against the reference service (`eval
// "$(scripts/devstack start)"`), 1 byte to 8 MiB; a tenth cancelled in their start notice, a tenth
// given a fault keyed by their remote name, so that uploads at once cannot take each other's
// faults. Each ends as its path says, the states file agreeing; the figures (peaks sampled while
// waiting for the last) are recorded, never asserted. LUMO_LOAD_CAPTURES scales it. The same run
// goes again in a child limited to 64 descriptors (LUMO_LOAD_NOFILE_CHILD), 300 captures: some
// then fail for want of a descriptor, so an upload may also end in error, with an alert.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <iomanip>
#include <sstream>

#include "ShareTestHost.h"
#include "lumo/capture/Screenshot.h"
#include "lumo/sharing/ShareURLHelperService.h"

namespace lumo::sharetest {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using State = ShareState;

// The paths: five faults, a cancel in the start notice, none. A drop takes six, as libcurl sends
// again up to five times on a reused connection closed unanswered; the storage's status is not
// looked at.
const std::pair<const char*, State> kPaths[] = {
    {R"({"route":"upload/start","status":500})", State::error},
    {R"({"route":"upload/start","drop_after_bytes":0,"count":6})", State::error},
    {R"({"route":"storage","drop_after_bytes":512,"count":6})", State::error},
    {R"({"route":"storage","status":500})", State::uploaded},
    {R"({"route":"upload/complete","status":500})", State::uploaded},
    {"cancel", State::cancelled},
    {"none", State::uploaded}};
constexpr int kCancel = 5, kPlain = 6;

struct Capture {
  std::unique_ptr<Screenshot> shot;
  int row = kPlain;
};

TEST(LoadTest, CapturesEndAsTheirPathsSayAndTheStatesFileAgrees) {
  std::string whyNot;
  const DevService* dev = DevService::get(&whyNot);
  ASSERT_TRUE(dev) << whyNot;
  const char* scaled = std::getenv("LUMO_LOAD_CAPTURES");
  const bool limited = std::getenv("LUMO_LOAD_NOFILE_CHILD") != nullptr;
  const int count = limited ? 300 : std::max(50, scaled ? std::atoi(scaled) : 200);
  // Links go to memory: xclip takes about 0.1 s a copy and would pace the share calls.
  Clipboard clipboard{Clipboard::Environment{}};
  Host host = installHost({.clipboard = &clipboard}, dev->token);
  auto account = std::dynamic_pointer_cast<UserAccountStore>(
      Resolver::resolveFromRoot<UserAccountStoreService>());
  account->setRemainingDailyItemsCount(1'000'000);
  account->setRemainingDailyQuotaInBytes(std::uint64_t{1} << 40);
  dev->reset();
  const fs::path docs = makeDocumentsFolder();
  std::error_code noFile;  // short of descriptors, the sampling and the cleanup may fail
  const std::shared_ptr<void> cleanup(nullptr,
                                      [&](void*) { fs::remove_all(docs, noFile), dev->reset(); });

  // Sizes log-uniform over [1 B, 8 MiB], the first 1 byte and the last 8 MiB; random contents
  // give each capture of 4 bytes or more a remote name of its own, and so a path of its own.
  std::mt19937_64 random(std::random_device{}());
  std::map<std::string, Capture> captures;  // by path
  std::vector<Capture*> order;
  double megabytes = 0;
  for (int i = 0; i < count; ++i) {
    const double u = i == count - 1 ? 1 : i ? std::uniform_real_distribution(0.0, 1.0)(random) : 0;
    const auto size = static_cast<std::size_t>(std::llround(std::exp(u * std::log(8 << 20))));
    const fs::path file = docs / ("capture-" + std::to_string(i) + ".png");
    writeBytes(file, randomBytes(size));
    Capture& c = captures[relativeScreenCapturePath(Url::fileURL(file))];
    c.shot = std::make_unique<Screenshot>(Url::fileURL(file));
    if (size >= 4) order.push_back(&c);
    megabytes += static_cast<double>(size) / 1e6;
  }
  std::shuffle(order.begin(), order.end(), random);
  auto urls = Resolver::resolveFromRoot<ShareURLHelperService>();
  for (int k = 0; k < 2 * (count / 10); ++k) {
    Capture& c = *order[k];
    c.row = k < count / 10 ? kCancel : k % kCancel;
    if (c.row == kCancel) continue;
    json fault = json::parse(kPaths[c.row].first);
    fault["key"] = urls->generateShareURL(*c.shot)->lastPathComponent();
    ASSERT_TRUE(dev->fault(fault)) << fault.dump();
  }

  std::atomic<int> finals{0};
  host.observer->setOnState([&](const std::string& path, State state) {
    const Capture& c = captures.at(path);
    if (state == State::uploading && c.row == kCancel)
      host.manager->cancelScreenCaptureTask(*c.shot);
    finals += state == State::uploaded || state == State::error || state == State::cancelled;
  });
  long peakThreads = 0;  // sampled every few milliseconds while waiting
  const auto ended = [&] {
    peakThreads = std::max<long>(
        peakThreads, std::distance(fs::directory_iterator("/proc/self/task", noFile), {}));
    return finals >= count;
  };
  const auto start = std::chrono::steady_clock::now();
  for (const auto& [path, c] : captures) host.manager->share(*c.shot);
  const std::chrono::duration<double> sharing = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(waitUntil(ended, 20min)) << finals << " ended";
  const std::chrono::duration<double> total = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(waitUntil([&] { return host.queue->counts().back() == 0; }));
  host.observer->setOnState(nullptr);
  settle(host);

  std::map<std::string, int> outcomes;
  std::map<std::string, std::string> expected, saved;  // path: state
  for (const auto& [path, c] : captures) {
    EXPECT_EQ(host.observer->finalCount(path), 1u) << path;
    const State last = host.observer->states(path).back();
    ++outcomes[expected[path] =
                   rawValue(limited && last == State::error ? last : kPaths[c.row].second)];
  }
  for (const std::string& alert : host.alerts->messages()) EXPECT_NE(alert, "");
  EXPECT_GE(host.alerts->messages().size(), std::size_t(outcomes["error"]));
  const fs::path file = prepareProcess() / "data/lumo" / ShareStatesManager::kStatesFileName;
  for (const json& entry : json::parse(readBytes(file))) saved[entry["id"]] = entry["state"];
  EXPECT_EQ(saved, expected);

  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  std::ostringstream report;
  report << std::fixed << std::setprecision(1) << "One run, " LUMO_BUILD_TYPE " build.\n\n"
         << "| figure | value |\n|---|---|\n| captures | " << count << " (" << megabytes
         << " MB, log-uniform 1 B to 8 MiB) |\n| outcomes | ";
  for (const auto& [state, n] : outcomes) report << state << " " << n << " ";
  report << "|\n| total time, first share to last final state | " << total.count() << " s |\n"
         << "| time in the share calls (digest, quota, link copied, queued) | " << sharing.count()
         << " s |\n| peak memory (VmHWM) | " << usage.ru_maxrss / 1024 << " MiB |\n"
         << "| peak thread count | " << peakThreads << " |\n"
         << "| most transfers in the upload queue | " << std::ranges::max(host.queue->counts())
         << " |\n";
  std::cout << report.str();
  if (const char* folder = std::getenv("LUMO_RELIABILITY_REPORT"); folder && !limited) {
    std::ofstream(fs::path(folder) / "load.md") << report.str();
  }
}

// The run above in a child that only lowers its limit and starts this binary afresh.
TEST(LoadTest, UnderALimitOf64DescriptorsEachUploadEndsAndTheQueueDrains) {
  std::vector<std::string> args = {"/proc/self/exe", "--gtest_filter=LoadTest.CapturesEnd*"},
                           vars = {"LUMO_LOAD_NOFILE_CHILD=1"};
  for (char** v = environ; *v; ++v) vars.emplace_back(*v);
  std::vector<char*> argv, envp;
  for (auto* list : {&args, &vars})
    for (auto& s : *list) (list == &args ? argv : envp).push_back(s.data());
  argv.push_back(nullptr), envp.push_back(nullptr);
  const rlimit limit{64, 64};
  const pid_t child = ::fork();
  if (child == 0) {  // only calls that are safe after a fork of a process with threads
    ::setrlimit(RLIMIT_NOFILE, &limit);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
}

}  // namespace
}  // namespace lumo::sharetest
