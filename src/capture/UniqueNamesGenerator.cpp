#include "lumo/capture/UniqueNamesGenerator.h"

#include "lumo/support/DoubleDescription.h"

namespace lumo {

std::string UniqueNamesGenerator::uniqueLastPathComponentName(const Url& url) {
  return uniqueLastPathComponentName(url, std::chrono::system_clock::now());
}

std::string UniqueNamesGenerator::uniqueLastPathComponentName(const Url& url, Date now) {
  const std::string base = url.deletingPathExtension().lastPathComponent();
  return base + "_" + describeDouble(secondsSinceReferenceDate(now)) + "." + url.pathExtension();
}

double UniqueNamesGenerator::secondsSinceReferenceDate(Date date) {
  // 2001-01-01 00:00:00 UTC is 978307200 seconds after the Unix epoch.
  // Subtracting before converting keeps the sub-second digits.
  constexpr std::chrono::seconds kReferenceDate(978307200);
  return std::chrono::duration<double>(date.time_since_epoch() - kReferenceDate).count();
}

}  // namespace lumo
