#include <gtest/gtest.h>

#include <string>

#include "lumo/support/DoubleDescription.h"
#include "lumo/support/Log.h"

namespace lumo {
namespace {

struct Environment : EnvironmentHelperService {
  bool isDebug() const override { return debug; }
  bool debug = true;
};

struct Failure {
  std::string text;
};
std::string localizedDescription(const Failure& f) {
  return f.text;
}

const std::string kRed = "\xE2\x9D\xA4\xEF\xB8\x8F ", kYellow = "\xF0\x9F\x92\x9B ";

TEST(LogTest, DebugBuildsShowEveryLineReleaseBuildsOnlyWhatAsksForIt) {
  auto environment = std::make_shared<Environment>();
  Resolver::setRegistering(nullptr);
  Resolver::reset();
  Resolver::registerInMain<EnvironmentHelperService>([&] { return environment; });
  const auto log = std::make_shared<Log>();
  ::testing::internal::CaptureStdout();
  log->error(Failure{"Upload failed"}, LogInfo{{"API call", std::string("upload/start")}});
  log->error("no token");
  log->info("Quota", LogInfo{{"left", 3}});
  log->debug("Current tasks count = 2");
  environment->debug = false;
  log->info("hidden");
  log->error("hidden");
  log->error(Failure{"hidden"});
  log->debug("hidden");
  log->info("shown", true, std::nullopt);
  log->debug("bare", true);
  log->error(Failure{"shown"}, LogInfo{}, true, true);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            kRed + "Upload failed, [\"API call\": \"upload/start\"]\n" + kRed +
                "Error!. no token\n" + kYellow + "Quota, [\"left\": 3]\nCurrent tasks count = 2\n" +
                kYellow + "shown, [:]\nbare\n" + kRed + "shown, [:]\n");
  Resolver::reset();
}

TEST(LogTest, InfoMapsAndNumbersRenderAsTheirDescription) {
  EXPECT_EQ(Log::describe({{"a", std::string("say \"hi\"")},
                           {"b", 1.0},
                           {"d", true},
                           {"e", std::any()},
                           {"f", Error(Failure{"bad"})},
                           {"g", -12L}}),
            "[\"a\": \"say \\\"hi\\\"\", \"b\": 1.0, \"d\": true, \"e\": nil, \"f\": \"bad\", "
            "\"g\": -12]");
  // Plain notation from 0.0001 up to 2^53, exponents outside.
  for (const char* text : {"0.0", "100000.0", "-0.0005", "0.0001", "9e-05", "9007199254740992.0",
                           "1.8014398509481984e+16", "-inf", "nan"}) {
    EXPECT_EQ(describeDouble(std::stod(text)), text);
  }
}

}  // namespace
}  // namespace lumo
