#pragma once

#include <chrono>
#include <string>

#include "lumo/Export.h"
#include "lumo/platform/Url.h"

namespace lumo {

// Makes file names that do not collide with earlier copies of the same file, by appending the
// current time.
//
//   UniqueNamesGenerator().uniqueLastPathComponentName(Url::fileURL("/in/photo.png"));
//   // "photo_694224000.123456.png"
//
// Stateless; safe from any thread.
class LUMO_API UniqueNamesGenerator {
 public:
  using Date = std::chrono::system_clock::time_point;

  UniqueNamesGenerator() = default;
  virtual ~UniqueNamesGenerator() = default;

  // The URL's last component without its extension, "_", the current time in seconds since
  // 2001-01-01 00:00:00 UTC as `describeDouble` writes it (as every double the library
  // writes: "694224000.25", "1e-05"), ".", and the extension. A name without extension ends
  // in ".".
  virtual std::string uniqueLastPathComponentName(const Url& url);

  // The same name for the moment `now`.
  static std::string uniqueLastPathComponentName(const Url& url, Date now);

  // Seconds since 2001-01-01 00:00:00 UTC, the desktop's reference date.
  static double secondsSinceReferenceDate(Date date);
};

}  // namespace lumo
