#include "lumo/capture/UniqueNamesGenerator.h"

#include <charconv>
#include <cmath>

namespace lumo {

std::string UniqueNamesGenerator::uniqueLastPathComponentName(const Url& url) {
  return uniqueLastPathComponentName(url, std::chrono::system_clock::now());
}

std::string UniqueNamesGenerator::uniqueLastPathComponentName(const Url& url, Date now) {
  const std::string base = url.deletingPathExtension().lastPathComponent();
  return base + "_" + shortestDecimal(secondsSinceReferenceDate(now)) + "." + url.pathExtension();
}

double UniqueNamesGenerator::secondsSinceReferenceDate(Date date) {
  // 2001-01-01 00:00:00 UTC is 978307200 seconds after the Unix epoch.
  // Subtracting before converting keeps the sub-second digits.
  constexpr std::chrono::seconds kReferenceDate(978307200);
  return std::chrono::duration<double>(date.time_since_epoch() - kReferenceDate).count();
}

std::string UniqueNamesGenerator::shortestDecimal(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  char buffer[400];  // the longest fixed rendering of a double is about 330 characters
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
  if (ec != std::errc()) return {};
  std::string text(buffer, end);
  if (text.find('.') == std::string::npos) text += ".0";
  return text;
}

}  // namespace lumo
