#include <gtest/gtest.h>

#include "lumo/sharing/ShareServiceError.h"
#include "lumo/support/Error.h"

namespace lumo {
namespace {

struct Expected {
  ShareServiceError error;
  const char* rawValue;
  const char* description;
};

// What users read for each case.
const Expected kCases[] = {
    {ShareServiceError::screencastThumbnailError, "screencastThumbnailError",
     "Screencast Thumbnail Error"},
    {ShareServiceError::screencastHTMLDataError, "screencastHTMLDataError",
     "Screencasthtml Data Error"},
    {ShareServiceError::failedUpload, "failedUpload", "Failed Upload"},
    {ShareServiceError::shareURLisAbsent, "shareURLisAbsent", "Shareur Lis Absent"},
    {ShareServiceError::cantGetUploadFileSize, "cantGetUploadFileSize",
     "Cant Get Upload File Size"},
    {ShareServiceError::failedDeleteOperation, "failedDeleteOperation", "Failed Delete Operation"},
    {ShareServiceError::fileUploadQuotaExceeded, "fileUploadQuotaExceeded",
     "File Upload Quota Exceeded"},
    {ShareServiceError::dailyUploadQuotaExceeded, "dailyUploadQuotaExceeded",
     "Daily Upload Quota Exceeded"},
    {ShareServiceError::dailyItemsCountExceeded, "dailyItemsCountExceeded",
     "Daily Items Count Exceeded"},
};

TEST(ShareServiceError, DescriptionsAreTheRawValuesInWords) {
  for (const auto& c : kCases) {
    EXPECT_EQ(errorDescription(c.error), c.description) << c.rawValue;
    // Carried in an Error, the same text reaches alerts and logs.
    Error error = c.error;
    EXPECT_EQ(error.localizedDescription(), c.description);
    ASSERT_TRUE(error.is<ShareServiceError>());
    EXPECT_EQ(*error.as<ShareServiceError>(), c.error);
  }
}

TEST(ShareServiceError, RawValuesAreTheCaseNamesBothWays) {
  for (const auto& c : kCases) {
    EXPECT_EQ(rawValue(c.error), c.rawValue);
    EXPECT_EQ(shareServiceErrorFromRawValue(c.rawValue), c.error);
  }
  EXPECT_EQ(shareServiceErrorFromRawValue("FailedUpload"), std::nullopt);
  EXPECT_EQ(shareServiceErrorFromRawValue("failedUpload "), std::nullopt);
  EXPECT_EQ(shareServiceErrorFromRawValue("Failed Upload"), std::nullopt);
  EXPECT_EQ(shareServiceErrorFromRawValue(""), std::nullopt);
}

TEST(ShareServiceError, ErrorsCompareByCase) {
  EXPECT_EQ(Error(ShareServiceError::failedUpload), Error(ShareServiceError::failedUpload));
  EXPECT_FALSE(Error(ShareServiceError::failedUpload) ==
               Error(ShareServiceError::failedDeleteOperation));
}

}  // namespace
}  // namespace lumo
