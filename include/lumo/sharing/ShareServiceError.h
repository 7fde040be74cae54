#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "lumo/capture/CamelCaseToWords.h"

namespace lumo {

// The error of sharing. The share service reports its own failures with it (quota, missing
// share URL, screencast thumbnail or page); the transfer tasks use `failedUpload`,
// `failedDeleteOperation`, and the upload components builder `shareURLisAbsent` and
// `cantGetUploadFileSize`.
//
//   Error e = ShareServiceError::shareURLisAbsent;
//   e.localizedDescription();                       // "Shareur Lis Absent"
//   rawValue(ShareServiceError::failedUpload);      // "failedUpload"
//   shareServiceErrorFromRawValue("failedUpload");  // ShareServiceError::failedUpload
//
// Defined in this header alone (with `camelCaseToWords` of the capture model), so that the
// transfer tasks, which the sharing library builds on, can raise it without linking it.
enum class ShareServiceError {
  screencastThumbnailError,
  screencastHTMLDataError,
  failedUpload,
  shareURLisAbsent,
  cantGetUploadFileSize,
  failedDeleteOperation,
  fileUploadQuotaExceeded,
  dailyUploadQuotaExceeded,
  dailyItemsCountExceeded,
};

namespace share_service_error_detail {
inline constexpr std::array<std::pair<ShareServiceError, std::string_view>, 9> kRawValues{{
    {ShareServiceError::screencastThumbnailError, "screencastThumbnailError"},
    {ShareServiceError::screencastHTMLDataError, "screencastHTMLDataError"},
    {ShareServiceError::failedUpload, "failedUpload"},
    {ShareServiceError::shareURLisAbsent, "shareURLisAbsent"},
    {ShareServiceError::cantGetUploadFileSize, "cantGetUploadFileSize"},
    {ShareServiceError::failedDeleteOperation, "failedDeleteOperation"},
    {ShareServiceError::fileUploadQuotaExceeded, "fileUploadQuotaExceeded"},
    {ShareServiceError::dailyUploadQuotaExceeded, "dailyUploadQuotaExceeded"},
    {ShareServiceError::dailyItemsCountExceeded, "dailyItemsCountExceeded"},
}};
}  // namespace share_service_error_detail

// The case's name, exactly as written above.
constexpr std::string_view rawValue(ShareServiceError error) {
  for (const auto& [value, name] : share_service_error_detail::kRawValues) {
    if (value == error) return name;
  }
  return {};
}

// The case named `rawValue` (case-sensitive); nullopt for any other text.
constexpr std::optional<ShareServiceError> shareServiceErrorFromRawValue(
    std::string_view rawValue) {
  for (const auto& [value, name] : share_service_error_detail::kRawValues) {
    if (name == rawValue) return value;
  }
  return std::nullopt;
}

// The raw value split into capitalised words: "Shareur Lis Absent" for `shareURLisAbsent`,
// "Screencasthtml Data Error" for `screencastHTMLDataError`. Runs of capitals fold into the
// word they start, which is why some texts read as they do; they are shown to users as is.
inline std::string errorDescription(ShareServiceError error) {
  return camelCaseToWords(rawValue(error));
}

// The same text, for `Error`.
inline std::string localizedDescription(ShareServiceError error) {
  return errorDescription(error);
}

}  // namespace lumo
