#include <gtest/gtest.h>

#include "lumo/sharing/ShareServiceError.h"
#include "lumo/support/Error.h"

namespace lumo {
namespace {

// Alerts show the raw values in words, a run of capitals folded into the word it starts.
TEST(ShareServiceError, AlertsShowTheRawValueInWords) {
  const std::pair<ShareServiceError, const char*> described[] = {
      {ShareServiceError::screencastHTMLDataError, "Screencasthtml Data Error"},
      {ShareServiceError::shareURLisAbsent, "Shareur Lis Absent"},
      {ShareServiceError::cantGetUploadFileSize, "Cant Get Upload File Size"},
  };
  for (const auto& [error, description] : described) {
    EXPECT_EQ(Error(error).localizedDescription(), description);
  }
}

}  // namespace
}  // namespace lumo
