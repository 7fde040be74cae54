#pragma once

// The statement runs in a re-run of the test binary, which must end with SIGABRT after writing
// exactly `message` as one whole line of standard error.

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>

namespace lumo::testing {
inline std::string wholeLine(std::string_view message) {
  std::string re = "(^|\n)";
  for (char c : message) re += std::string(std::strchr(".[]()*+?{}|^$\\", c) ? "\\" : "") + c;
  return re + "\n";
}
}  // namespace lumo::testing

#define EXPECT_STOPS_WITH(statement, message)                  \
  do {                                                         \
    GTEST_FLAG_SET(death_test_style, "threadsafe");            \
    EXPECT_EXIT(statement, ::testing::KilledBySignal(SIGABRT), \
                ::lumo::testing::wholeLine(message));          \
  } while (false)
