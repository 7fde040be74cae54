#include <gtest/gtest.h>

#include "lumo/sharing/ShareServiceError.h"
#include "lumo/support/Error.h"

namespace lumo {
namespace {

// Users read the descriptions in alerts as they are: the raw values in words, where a run of
// capitals folds into the word it starts (the two odd ones and a plain one here).
TEST(ShareServiceError, DescriptionsAreTheRawValuesInWordsAndRawValuesReadBack) {
  const std::pair<ShareServiceError, const char*> described[] = {
      {ShareServiceError::screencastHTMLDataError, "Screencasthtml Data Error"},
      {ShareServiceError::shareURLisAbsent, "Shareur Lis Absent"},
      {ShareServiceError::cantGetUploadFileSize, "Cant Get Upload File Size"},
  };
  for (const auto& [error, description] : described) {
    EXPECT_EQ(Error(error).localizedDescription(), description);
  }
  for (ShareServiceError error :
       {ShareServiceError::screencastThumbnailError, ShareServiceError::screencastHTMLDataError,
        ShareServiceError::failedUpload, ShareServiceError::shareURLisAbsent,
        ShareServiceError::cantGetUploadFileSize, ShareServiceError::failedDeleteOperation,
        ShareServiceError::fileUploadQuotaExceeded, ShareServiceError::dailyUploadQuotaExceeded,
        ShareServiceError::dailyItemsCountExceeded}) {
    EXPECT_EQ(shareServiceErrorFromRawValue(rawValue(error)), error) << rawValue(error);
    EXPECT_EQ(*Error(error).as<ShareServiceError>(), error);
  }
  EXPECT_EQ(rawValue(ShareServiceError::failedUpload), "failedUpload");
  for (const char* wrong : {"FailedUpload", "failedUpload ", "Failed Upload", ""}) {
    EXPECT_EQ(shareServiceErrorFromRawValue(wrong), std::nullopt) << wrong;
  }
  EXPECT_FALSE(Error(ShareServiceError::failedUpload) ==
               Error(ShareServiceError::failedDeleteOperation));
}

}  // namespace
}  // namespace lumo
