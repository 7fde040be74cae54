#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "lumo/Export.h"
#include "lumo/api/DecodingContainer.h"

namespace lumo {

// The answer of "profile/me": the signed-in user's account, plan limits and what remains of
// today's quota. All fourteen keys are required; the unsigned ones refuse negative numbers.
struct LUMO_API ProfileResponse {
  std::string email;                               // "email"
  bool isActive = false;                           // "is_active"
  bool isEmailConfirmed = false;                   // "is_email_confirmed"
  bool isLumien = false;                           // "is_lumien"
  bool isPaid = false;                             // "is_paid"
  bool canUpload = false;                          // "can_upload"
  std::int64_t maxLengthInSeconds = 0;             // "max_length_in_seconds"
  std::uint64_t maxContentSize = 0;                // "max_content_size", bytes
  std::int64_t maxDailyFilesCount = 0;             // "max_daily_files_count"
  std::uint64_t maxDailyFilesQuotaInBytes = 0;     // "max_daily_files_quota_in_bytes"
  std::uint64_t maxMonthlyFilesQuotaInBytes = 0;   // "max_monthly_files_quota_in_bytes"
  std::int64_t remainingDailyItemsCount = 0;       // "remaining_daily_items_count"
  std::uint64_t remainingDailyQuotaInBytes = 0;    // "remaining_daily_quota_in_bytes"
  std::uint64_t remainingMonthlyQuotaInBytes = 0;  // "remaining_monthly_quota_in_bytes"

  static ProfileResponse decode(DecodingContainer& c);
  nlohmann::json encode() const;

  friend bool operator==(const ProfileResponse&, const ProfileResponse&) = default;
};

}  // namespace lumo
