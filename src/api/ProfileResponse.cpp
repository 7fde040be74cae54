#include "lumo/api/ProfileResponse.h"

namespace lumo {

ProfileResponse ProfileResponse::decode(DecodingContainer& c) {
  ProfileResponse p;
  p.email = c.decode<std::string>("email");
  p.isActive = c.decode<bool>("is_active");
  p.isEmailConfirmed = c.decode<bool>("is_email_confirmed");
  p.isLumien = c.decode<bool>("is_lumien");
  p.isPaid = c.decode<bool>("is_paid");
  p.canUpload = c.decode<bool>("can_upload");
  p.maxLengthInSeconds = c.decode<std::int64_t>("max_length_in_seconds");
  p.maxContentSize = c.decode<std::uint64_t>("max_content_size");
  p.maxDailyFilesCount = c.decode<std::int64_t>("max_daily_files_count");
  p.maxDailyFilesQuotaInBytes = c.decode<std::uint64_t>("max_daily_files_quota_in_bytes");
  p.maxMonthlyFilesQuotaInBytes = c.decode<std::uint64_t>("max_monthly_files_quota_in_bytes");
  p.remainingDailyItemsCount = c.decode<std::int64_t>("remaining_daily_items_count");
  p.remainingDailyQuotaInBytes = c.decode<std::uint64_t>("remaining_daily_quota_in_bytes");
  p.remainingMonthlyQuotaInBytes = c.decode<std::uint64_t>("remaining_monthly_quota_in_bytes");
  return p;
}

nlohmann::json ProfileResponse::encode() const {
  return {{"email", email},
          {"is_active", isActive},
          {"is_email_confirmed", isEmailConfirmed},
          {"is_lumien", isLumien},
          {"is_paid", isPaid},
          {"can_upload", canUpload},
          {"max_length_in_seconds", maxLengthInSeconds},
          {"max_content_size", maxContentSize},
          {"max_daily_files_count", maxDailyFilesCount},
          {"max_daily_files_quota_in_bytes", maxDailyFilesQuotaInBytes},
          {"max_monthly_files_quota_in_bytes", maxMonthlyFilesQuotaInBytes},
          {"remaining_daily_items_count", remainingDailyItemsCount},
          {"remaining_daily_quota_in_bytes", remainingDailyQuotaInBytes},
          {"remaining_monthly_quota_in_bytes", remainingMonthlyQuotaInBytes}};
}

}  // namespace lumo
