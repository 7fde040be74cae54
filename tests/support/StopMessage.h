#pragma once

// Assertions for code that stops the process: the statement runs in a child process (a re-run
// of the test binary), which must end with SIGABRT after writing exactly `message` and a newline
// to standard error.

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <string_view>

namespace lumo::testing {

// A POSIX extended regular expression matching `message` as one whole line of standard error.
inline std::string wholeLine(std::string_view message) {
  std::string re = "(^|\n)";
  for (char c : message) {
    if (std::string_view(".[]()*+?{}|^$\\").find(c) != std::string_view::npos) re.push_back('\\');
    re.push_back(c);
  }
  re += "\n";
  return re;
}

}  // namespace lumo::testing

#define EXPECT_STOPS_WITH(statement, message)                  \
  do {                                                         \
    GTEST_FLAG_SET(death_test_style, "threadsafe");            \
    EXPECT_EXIT(statement, ::testing::KilledBySignal(SIGABRT), \
                ::lumo::testing::wholeLine(message));          \
  } while (false)
