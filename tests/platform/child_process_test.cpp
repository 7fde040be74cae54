#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "lumo/platform/ChildProcess.h"

namespace lumo {
namespace {

using namespace std::chrono_literals;
using Ending = ChildProcess::Result::Ending;

ChildProcess::Options program(std::vector<std::string> arguments) {
  ChildProcess::Options options;
  options.arguments = std::move(arguments);
  return options;
}

ChildProcess::Options shell(std::string script) {
  return program({"sh", "-c", std::move(script)});
}

// Gone, or a zombie that nothing will run again: /proc says which.
bool gone(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return true;
  const auto state = line.find(") ");
  return state != std::string::npos && line.at(state + 2) == 'Z';
}

bool becomes(const std::function<bool()>& condition) {
  for (auto end = std::chrono::steady_clock::now() + 30s; std::chrono::steady_clock::now() < end;
       std::this_thread::sleep_for(10ms)) {
    if (condition()) return true;
  }
  return condition();
}

TEST(ChildProcess, EndingsAndWhatTheySay) {
  ::setenv("LUMO_TEST_REMOVED", "still here", 1);
  struct Case {
    ChildProcess::Options options;
    Ending ending;
    int status;
    std::string output;
    std::string describe;
  };
  auto withInput = [](ChildProcess::Options options, std::string input) {
    options.input = std::move(input);
    options.output = ChildProcess::Stream::capture;
    return options;
  };
  auto withEnvironment = [](ChildProcess::Options options) {
    options.environment = {"LUMO_TEST_SET=a b", "LUMO_TEST_REMOVED"};
    options.output = ChildProcess::Stream::capture;
    return options;
  };
  auto limited = [](ChildProcess::Options options) {
    options.output = ChildProcess::Stream::capture;
    options.outputLimit = 1000;
    return options;
  };
  const Case cases[] = {
      {shell("echo first >&2; printf 'why it failed\\n\\n' >&2; exit 3"), Ending::exited, 3, "",
       "sh exited with status 3: why it failed"},
      {withInput(program({"cat"}), "a line\nand no end"), Ending::exited, 0, "a line\nand no end",
       "cat exited with status 0"},
      // A program that leaves before reading: SIGPIPE must not reach the host.
      {withInput(program({"true"}), std::string(4 << 20, 'x')), Ending::exited, 0, "",
       "true exited before reading all its input"},
      {withEnvironment(shell("printf '%s|%s' \"$LUMO_TEST_SET\" \"${LUMO_TEST_REMOVED-unset}\"")),
       Ending::exited, 0, "a b|unset", "sh exited with status 0"},
      {shell("kill -TERM $$"), Ending::signalled, SIGTERM, "", "sh was ended by SIGTERM"},
      {shell("sleep 30"), Ending::timedOut, SIGKILL, "",
       "sh did not finish in time and was stopped"},
      {limited(program({"head", "-c", "100000000", "/dev/zero"})), Ending::tooMuchOutput, SIGKILL,
       "", "head wrote more output than expected and was stopped"},
      {program({"lumo-no-such-tool", "--flag"}), Ending::notStarted, -1, "",
       "cannot run lumo-no-such-tool: no such program on the PATH"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.describe);
    auto result = ChildProcess::run(c.options, std::chrono::steady_clock::now() + 1s);
    EXPECT_EQ(result.ending, c.ending);
    EXPECT_EQ(result.status, c.status);
    if (c.ending != Ending::tooMuchOutput) {
      EXPECT_EQ(result.output, c.output);
    }
    EXPECT_EQ(result.describe(), c.describe);
    EXPECT_EQ(result.succeeded(),
              c.describe == "cat exited with status 0" || c.describe == "sh exited with status 0");
  }
}

TEST(ChildProcess, NoChildIsLeftBehind) {
  // The program's own child dies with it when the deadline kills its group.
  auto options = shell("sleep 300 & echo $!; wait");
  options.output = ChildProcess::Stream::capture;
  auto child = ChildProcess::start(options);
  ASSERT_TRUE(child->running());
  EXPECT_FALSE(child->wait(std::chrono::steady_clock::now() + 200ms));
  auto result = child->finish(std::chrono::steady_clock::now());
  EXPECT_EQ(result.ending, Ending::timedOut);
  const pid_t grandchild = std::stoi(result.output);
  EXPECT_TRUE(becomes([&] { return gone(grandchild); }));

  // A signal reaches the child; dropping a running one kills it.
  auto interrupted = ChildProcess::start(shell("sleep 30"));
  interrupted->signal(SIGINT);
  EXPECT_EQ(interrupted->finish(std::chrono::steady_clock::now() + 30s).status, SIGINT);
  const pid_t dropped = ChildProcess::start(shell("sleep 30"))->pid();
  EXPECT_TRUE(gone(dropped));
}

}  // namespace
}  // namespace lumo
