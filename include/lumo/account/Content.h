#pragma once

#include <cstdint>
#include <optional>

#include "lumo/Export.h"

namespace lumo::Content {

// The user's plan limits for the running process: in memory only, starting from the defaults
// below and replaced by the profile updater from the service's profile.
//
//   maxLenghtInSeconds    120          longest screencast, seconds (the name is spelled so)
//   maxContentSize        52428800     largest single upload, bytes (50 MiB)
//   maxDailyFilesCount    100          uploads per day
//   maxDailyFilesQuota    524288000    bytes per day (500 MiB)
//   maxMonthlyFilesQuota  absent       bytes per month
//
// Every value may be read and written from any thread; each read sees a whole value (a write
// of the monthly quota is never seen half-done).
class LUMO_API Limits {
 public:
  static constexpr std::int64_t kDefaultMaxLenghtInSeconds = 120;
  static constexpr std::uint64_t kDefaultMaxContentSize = 52428800;
  static constexpr std::int64_t kDefaultMaxDailyFilesCount = 100;
  static constexpr std::uint64_t kDefaultMaxDailyFilesQuota = 524288000;

  static std::int64_t maxLenghtInSeconds();
  static void setMaxLenghtInSeconds(std::int64_t value);

  static std::uint64_t maxContentSize();
  static void setMaxContentSize(std::uint64_t value);

  static std::int64_t maxDailyFilesCount();
  static void setMaxDailyFilesCount(std::int64_t value);

  static std::uint64_t maxDailyFilesQuota();
  static void setMaxDailyFilesQuota(std::uint64_t value);

  static std::optional<std::uint64_t> maxMonthlyFilesQuota();
  static void setMaxMonthlyFilesQuota(std::optional<std::uint64_t> value);

  // Puts every value back to its default (a signed-out host, tests).
  static void resetToDefaults();

  Limits() = delete;
};

}  // namespace lumo::Content
