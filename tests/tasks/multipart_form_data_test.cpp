// The storage post's body, byte for byte, and the checks made before anything is sent.

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "DevService.h"
#include "lumo/api/StartUploadResponse.h"
#include "lumo/platform/HttpSession.h"
#include "lumo/tasks/MultipartFormData.h"
#include "lumo/tasks/MultipartUploadTask.h"

namespace lumo {
using test::Bytes;
namespace {

namespace fs = std::filesystem;

const auto text = [](const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); };

TEST(MultipartFormDataTest, BodyIsFieldsThenTheFileThenTheClosingBoundary) {
  MultipartFormData form("Boundary-B", {{"policy", "p"}, {"key", "k.png"}}, "k.png", "image/png");
  EXPECT_EQ(text(form.prefix()),
            "--Boundary-B\r\nContent-Disposition: form-data; name=\"policy\"\r\n\r\np\r\n"
            "--Boundary-B\r\nContent-Disposition: form-data; name=\"key\"\r\n\r\nk.png\r\n"
            "--Boundary-B\r\nContent-Disposition: form-data; name=\"file\"; filename=\"k.png\"\r\n"
            "Content-Type: image/png\r\n\r\n");
  EXPECT_EQ(text(form.suffix()), "\r\n--Boundary-B--");
  EXPECT_EQ(form.contentTypeHeaderValue(), "multipart/form-data; boundary=Boundary-B");
  const std::string boundary = MultipartFormData::makeBoundary();
  EXPECT_TRUE(boundary.starts_with("Boundary-") && boundary.size() == 45 &&
              boundary != MultipartFormData::makeBoundary());
}

// A quote, CR or LF in a remote name must neither end the quoted file name nor start a header.
TEST(MultipartFormDataTest, HostileFileNamesCannotAddHeaderLines) {
  EXPECT_EQ(MultipartFormData::escapedHeaderText("a\"b\rc\nd%e"), "a%22b%0Dc%0Ad%e");
  MultipartFormData form("B", {}, "x.png\"; name=\"key\r\nContent-Type: text/html", "image/png");
  EXPECT_NE(text(form.prefix())
                .find("filename=\"x.png%22; name=%22key%0D%0AContent-Type: text/html\"\r\n"),
            std::string::npos);
}

TEST(MultipartFormDataTest, UnreadableFileFailsBeforeAnyTransfer) {
  const std::size_t transfers = HttpSession::stats().liveTransfers;
  const testing_files::TempDir dir;
  const fs::path locked = dir / "locked.png";
  std::ofstream(locked) << "x";
  fs::permissions(locked, fs::perms::none);
  // Missing, a folder, without permission (which root reads all the same).
  std::vector<std::pair<fs::path, int>> cases{{dir / "gone.png", 260}, {dir.path(), 256}};
  if (::geteuid() != 0) cases.emplace_back(locked, 257);
  StartUploadResponse answer;
  answer.presignedPost.url = "http://127.0.0.1:1/storage";
  for (const auto& [file, code] : cases) {
    const auto result =
        MultipartUploadTask({Url::fileURL(file), Url::fileURL(file), "image/png", 1}, answer)
            .upload({});
    EXPECT_TRUE(!result.ok() && result.error().domain() == "NSCocoaErrorDomain" &&
                result.error().code() == code)
        << file;
  }
  EXPECT_EQ(HttpSession::stats().liveTransfers, transfers);
}

}  // namespace
}  // namespace lumo
