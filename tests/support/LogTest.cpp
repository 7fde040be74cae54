#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "lumo/support/Log.h"

namespace lumo {
namespace {

class CountingEnvironment : public EnvironmentHelperService {
 public:
  bool isDebug() const override {
    asked.fetch_add(1);
    return debug;
  }
  bool debug = true;
  mutable std::atomic<int> asked{0};
};

struct Failure {
  std::string text;
};
std::string localizedDescription(const Failure& f) {
  return f.text;
}

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Resolver::setRegistering(nullptr);
    Resolver::reset();
    Resolver::registerInMain<EnvironmentHelperService>([this] { return environment; });
    log = std::make_shared<Log>();
  }
  void TearDown() override { Resolver::reset(); }

  std::shared_ptr<CountingEnvironment> environment = std::make_shared<CountingEnvironment>();
  std::shared_ptr<LogService> log;
};

TEST_F(LogTest, DebugBuildLinesAreByteExact) {
  ::testing::internal::CaptureStdout();
  log->error(Failure{"Upload failed"}, LogInfo{{"API call", std::string("upload/start")}});
  log->error("no token");
  log->info("Profile updated");
  log->info("Quota", LogInfo{{"left", 3}});
  log->debug("Current tasks count = 2");
  log->error(Failure{"x"});
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "\xE2\x9D\xA4\xEF\xB8\x8F Upload failed, [\"API call\": \"upload/start\"]\n"
            "\xE2\x9D\xA4\xEF\xB8\x8F Error!. no token\n"
            "\xF0\x9F\x92\x9B Profile updated, [:]\n"
            "\xF0\x9F\x92\x9B Quota, [\"left\": 3]\n"
            "Current tasks count = 2\n"
            "\xE2\x9D\xA4\xEF\xB8\x8F x, [:]\n");
}

TEST_F(LogTest, ReleaseBuildShowsOnlyWhatAsksForReleaseModeAndAsksOnlyWhenNeeded) {
  environment->debug = false;
  ::testing::internal::CaptureStdout();
  log->info("hidden");                             // asks
  log->info("hidden", LogInfo{{"k", 1}});          // asks
  log->error("hidden whatever the caller wants");  // asks
  log->error(Failure{"hidden"});                   // asks
  log->debug("hidden");                            // asks
  EXPECT_EQ(environment->asked.load(), 5);
  log->info("shown", true, std::nullopt);               // does not ask
  log->debug("bare", true);                             // does not ask
  log->error(Failure{"shown"}, LogInfo{}, true, true);  // does not ask
  EXPECT_EQ(environment->asked.load(), 5);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "\xF0\x9F\x92\x9B shown, [:]\n"
            "bare\n"
            "\xE2\x9D\xA4\xEF\xB8\x8F shown, [:]\n");
}

TEST_F(LogTest, InfoMapsRenderAsTheirDescription) {
  EXPECT_EQ(Log::describe({}), "[:]");
  EXPECT_EQ(Log::describe({{"a", std::string("say \"hi\"")},
                           {"b", 1.0},
                           {"c", 100000.0},
                           {"d", true},
                           {"e", std::any()},
                           {"f", Error(Failure{"bad"})},
                           {"g", -12L},
                           {"h", "literal"}}),
            "[\"a\": \"say \\\"hi\\\"\", \"b\": 1.0, \"c\": 100000.0, \"d\": true, \"e\": nil, "
            "\"f\": \"bad\", \"g\": -12, \"h\": \"literal\"]");
}

TEST_F(LogTest, LinesFromManyThreadsStayWhole) {
  ::testing::internal::CaptureStdout();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) log->info("thread " + std::to_string(t), true, std::nullopt);
    });
  }
  for (auto& thread : threads) thread.join();
  const std::string text = ::testing::internal::GetCapturedStdout();
  std::set<std::string> expected;
  for (int t = 0; t < 4; ++t)
    expected.insert("\xF0\x9F\x92\x9B thread " + std::to_string(t) + ", [:]");
  int lines = 0;
  for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
       start = end + 1, ++lines) {
    EXPECT_TRUE(expected.count(text.substr(start, end - start))) << text.substr(start, end - start);
  }
  EXPECT_EQ(lines, 800);
}

}  // namespace
}  // namespace lumo
