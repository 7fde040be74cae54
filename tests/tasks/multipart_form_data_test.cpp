// The storage post's body, byte for byte, and the checks made before anything is sent.

#include <unistd.h>

#include <fstream>
#include <variant>

#include "lumo/api/StartUploadResponse.h"
#include "lumo/platform/HttpSession.h"
#include "lumo/tasks/MultipartFormData.h"
#include "lumo/tasks/MultipartUploadTask.h"
#include "task_test_support.h"

namespace lumo::tasktest {
namespace {

namespace fs = std::filesystem;

std::string text(const Bytes& bytes) {
  return {bytes.begin(), bytes.end()};
}

MultipartUploadTask upload(const fs::path& file) {
  StartUploadResponse response;
  response.key = "0123456789abcdef0123456789abcdef.png";
  response.presignedPost.url = "http://127.0.0.1:1/storage";
  response.presignedPost.fields = {"ACCESS", "public-read", "own-key", "UE9MSUNZ", "U0lH"};
  return {UploadTaskComponents(Url::fileURL(file), *Url::parse("https://cdn.example.com/r.png"),
                               "image/png", 1),
          response};
}

TEST(MultipartFormDataTest, BodyIsFieldsThenTheStreamedFileThenTheClosingBoundary) {
  MultipartFormData form("Boundary-B", {{"policy", "p"}, {"key", "k.png"}}, "k.png", "image/png");
  EXPECT_EQ(text(form.prefix()),
            "--Boundary-B\r\nContent-Disposition: form-data; name=\"policy\"\r\n\r\np\r\n"
            "--Boundary-B\r\nContent-Disposition: form-data; name=\"key\"\r\n\r\nk.png\r\n"
            "--Boundary-B\r\nContent-Disposition: form-data; name=\"file\"; filename=\"k.png\"\r\n"
            "Content-Type: image/png\r\n\r\n");
  EXPECT_EQ(text(form.suffix()), "\r\n--Boundary-B--");
  EXPECT_EQ(form.contentTypeHeaderValue(), "multipart/form-data; boundary=Boundary-B");
  const HttpBody body = form.httpBody("/tmp/k.png", 6);  // the file is read while sending
  ASSERT_EQ(body.parts().size(), 3u);
  EXPECT_EQ(std::get<HttpBody::Bytes>(body.parts()[0]).data, form.prefix());
  EXPECT_EQ(std::get<HttpBody::FileRange>(body.parts()[1]).length, 6u);
  EXPECT_EQ(std::get<HttpBody::Bytes>(body.parts()[2]).data, form.suffix());

  const std::string boundary = MultipartFormData::makeBoundary();
  EXPECT_NE(boundary, MultipartFormData::makeBoundary());
  EXPECT_TRUE(boundary.rfind("Boundary-", 0) == 0 && isUpperCaseUUID(boundary.substr(9)))
      << boundary;
}

// A quote, CR or LF in a remote name must neither end the quoted file name nor start a header.
TEST(MultipartFormDataTest, HostileFileNamesCannotAddHeaderLines) {
  EXPECT_EQ(MultipartFormData::escapedHeaderText("a\"b\rc\nd%e"), "a%22b%0Dc%0Ad%e");
  MultipartFormData form("B", {}, "x.png\"; name=\"key\r\nContent-Type: text/html", "image/png");
  EXPECT_NE(text(form.prefix())
                .find("filename=\"x.png%22; name=%22key%0D%0AContent-Type: text/html\"\r\n"),
            std::string::npos);
}

TEST(MultipartFormDataTest, StoragePostCarriesTheSixFieldsWithTheAnswersKey) {
  const std::map<std::string, std::string> expected{{"content-type", "image/png"},
                                                    {"policy", "UE9MSUNZ"},
                                                    {"signature", "U0lH"},
                                                    {"acl", "public-read"},
                                                    {"key", "0123456789abcdef0123456789abcdef.png"},
                                                    {"AWSAccessKeyId", "ACCESS"}};
  EXPECT_EQ(upload("/tmp/a.png").formFields(), expected);
}

TEST(MultipartFormDataTest, UnreadableFileFailsBeforeAnyTransfer) {
  const std::size_t transfers = HttpSession::stats().liveTransfers;
  const fs::path dir = test::makeTempDir("lumo-form"), locked = dir / "locked.png";
  std::ofstream(locked) << "x";
  fs::permissions(locked, fs::perms::none);
  // Missing, a folder, no permission (which root has all the same).
  for (const auto& [file, code] :
       {std::pair{dir / "gone.png", 260}, {dir, 256}, {locked, ::geteuid() ? 257 : 0}}) {
    const auto result = upload(file).upload({});
    EXPECT_EQ(code ? result.error().domain() + " " + std::to_string(result.error().code()) : "",
              code ? "NSCocoaErrorDomain " + std::to_string(code) : "")
        << file;
  }
  EXPECT_EQ(HttpSession::stats().liveTransfers, transfers);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace lumo::tasktest
