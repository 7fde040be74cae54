#pragma once

// Writes the figures of the reliability suites into docs/reliability.md.
//
// Each suite owns one section of that page, between the lines "<!-- begin NAME -->" and
// "<!-- end NAME -->"; a run replaces its own section and leaves the rest of the page as it
// was, so the suites can run in any order. Sections missing from the page are appended. The
// suites hold the CTest resource lock `devstack`, so no two of them write at once.
//
// The page is named by LUMO_RELIABILITY_REPORT, which CMake sets for the unsanitised builds
// only: figures taken under a sanitizer would say more about the sanitizer than about the
// library. Without it, nothing is written.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

namespace lumo::testing {

// Replaces section `name` of the report with `markdown`. Returns false when no report is
// configured or the page cannot be written.
inline bool writeReportSection(std::string_view name, std::string_view markdown) {
  const char* path = std::getenv("LUMO_RELIABILITY_REPORT");
  if (path == nullptr || *path == '\0') return false;

  std::string page;
  {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    page = text.str();
  }
  const std::string begin = "<!-- begin " + std::string(name) + " -->\n";
  const std::string end = "<!-- end " + std::string(name) + " -->\n";
  std::string section = begin + std::string(markdown);
  if (!section.empty() && section.back() != '\n') section += '\n';
  section += end;

  const auto first = page.find(begin);
  const auto last = first == std::string::npos ? first : page.find(end, first);
  if (first == std::string::npos || last == std::string::npos) {
    if (!page.empty() && page.back() != '\n') page += '\n';
    page += '\n' + section;
  } else {
    page.replace(first, last + end.size() - first, section);
  }

  const std::string temporary = std::string(path) + ".tmp";
  bool written = false;
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << page;
    written = static_cast<bool>(out.flush());
  }
  return written && std::rename(temporary.c_str(), path) == 0;
}

}  // namespace lumo::testing
