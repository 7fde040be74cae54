#pragma once

#include <algorithm>
#include <cctype>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lumo::detail {

// HTTP field names compare without regard to case.
inline bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// Without the blanks and line ends around it, as header lines and libcurl's messages come.
inline std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() &&
         (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n')) {
    s.remove_suffix(1);
  }
  return s;
}

// The values of `name` in `fields`, joined with ", "; nullopt when there is none.
inline std::optional<std::string> joinedValue(
    const std::vector<std::pair<std::string, std::string>>& fields, std::string_view name) {
  std::optional<std::string> out;
  for (const auto& [field, value] : fields) {
    if (!equalsIgnoringCase(field, name)) continue;
    if (out) {
      *out += ", ";
      *out += value;
    } else {
      out = value;
    }
  }
  return out;
}

}  // namespace lumo::detail
