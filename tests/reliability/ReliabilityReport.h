#pragma once

// Writes the figures of the reliability suites for docs/reliability.md.
//
// Each suite owns one table, written to NAME.md in the folder named by LUMO_RELIABILITY_REPORT
// (the build folder's reliability/). CMake sets it for the unsanitised builds only: figures
// taken under a sanitizer would say more about the sanitizer than about the library. Without
// it, nothing is written. scripts/reliability-report copies the tables into the page, so a test
// run never changes the source tree.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace lumo::testing {

// Writes table `name` of the report. Returns false when no report is configured or the table
// cannot be written.
inline bool writeReportSection(std::string_view name, std::string_view markdown) {
  const char* folder = std::getenv("LUMO_RELIABILITY_REPORT");
  if (folder == nullptr || *folder == '\0') return false;
  std::ofstream out(std::filesystem::path(folder) / (std::string(name) + ".md"),
                    std::ios::binary | std::ios::trunc);
  out << markdown;
  return static_cast<bool>(out.flush());
}

}  // namespace lumo::testing
