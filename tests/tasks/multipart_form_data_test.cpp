// The multipart body of the storage post, byte for byte, and what an independent parser makes
// of it; the checks `MultipartUploadTask` makes before anything is sent.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <variant>

#include "lumo/api/StartUploadResponse.h"
#include "lumo/platform/HttpSession.h"
#include "lumo/tasks/MultipartFormData.h"
#include "lumo/tasks/MultipartUploadTask.h"
#include "lumo/tasks/UploadTaskComponents.h"
#include "task_test_support.h"

namespace lumo {
namespace {

using tasktest::Bytes;
using tasktest::TempDir;

std::string text(const Bytes& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

// The whole body as it goes on the wire, the file read from disk.
Bytes wholeBody(const HttpBody& body) {
  Bytes out;
  for (const HttpBody::Part& part : body.parts()) {
    if (const auto* bytes = std::get_if<HttpBody::Bytes>(&part)) {
      out.insert(out.end(), bytes->data.begin(), bytes->data.end());
    } else {
      const auto& range = std::get<HttpBody::FileRange>(part);
      Bytes file = tasktest::readFile(range.path);
      const std::size_t end = range.length ? range.offset + *range.length : file.size();
      out.insert(out.end(), file.begin() + static_cast<std::ptrdiff_t>(range.offset),
                 file.begin() + static_cast<std::ptrdiff_t>(end));
    }
  }
  return out;
}

StartUploadResponse startResponse(const std::string& url) {
  StartUploadResponse response;
  response.key = "0123456789abcdef0123456789abcdef.png";
  response.presignedPost.url = url;
  response.presignedPost.fields = {"ACCESS", "public-read", "fields-own-key", "UE9MSUNZ", "U0lH"};
  return response;
}

TEST(MultipartFormDataTest, BodyIsFieldsThenFileThenClosingBoundaryWithoutCRLF) {
  TempDir dir;
  const auto file = dir.write("local name.png", Bytes{'P', 'N', 'G', '\r', '\n', 0});
  MultipartFormData form("Boundary-B", {{"policy", "p"}, {"key", "k.png"}}, "k.png", "image/png");

  const std::string expected =
      "--Boundary-B\r\n"
      "Content-Disposition: form-data; name=\"policy\"\r\n\r\n"
      "p\r\n"
      "--Boundary-B\r\n"
      "Content-Disposition: form-data; name=\"key\"\r\n\r\n"
      "k.png\r\n"
      "--Boundary-B\r\n"
      "Content-Disposition: form-data; name=\"file\"; filename=\"k.png\"\r\n"
      "Content-Type: image/png\r\n\r\n"
      "PNG\r\n" +
      std::string(1, '\0') + "\r\n--Boundary-B--";
  const Bytes body = wholeBody(form.httpBody(file, 6));
  EXPECT_EQ(text(body), expected);
  EXPECT_EQ(form.contentLength(6), expected.size());
  EXPECT_EQ(form.contentTypeHeaderValue(), "multipart/form-data; boundary=Boundary-B");

  // The file itself is not copied into the body: it is read from disk while sending.
  const HttpBody streamed = form.httpBody(file, 6);
  const auto& parts = streamed.parts();
  ASSERT_EQ(parts.size(), 3u);
  const auto* range = std::get_if<HttpBody::FileRange>(&parts[1]);
  ASSERT_NE(range, nullptr);
  EXPECT_EQ(range->path, file);
  EXPECT_EQ(range->length, 6u);
}

TEST(MultipartFormDataTest, EmptyFileGivesAnEmptyPartContent) {
  TempDir dir;
  const auto file = dir.write("empty.png", {});
  MultipartFormData form("Boundary-E", {{"key", "k"}}, "k", "image/png");
  EXPECT_EQ(text(wholeBody(form.httpBody(file, 0))),
            "--Boundary-E\r\nContent-Disposition: form-data; name=\"key\"\r\n\r\nk\r\n"
            "--Boundary-E\r\nContent-Disposition: form-data; name=\"file\"; filename=\"k\"\r\n"
            "Content-Type: image/png\r\n\r\n\r\n--Boundary-E--");
}

TEST(MultipartFormDataTest, BoundaryIsFreshUpperCaseUUID) {
  const std::string a = MultipartFormData::makeBoundary();
  EXPECT_NE(a, MultipartFormData::makeBoundary());
  EXPECT_TRUE(a.rfind("Boundary-", 0) == 0 && tasktest::isUpperCaseUUID(a.substr(9))) << a;
}

// A remote name whose extension holds a quote, CR or LF must not end the quoted file name nor
// start a header line of its own.
TEST(MultipartFormDataTest, HostileFileNamesCannotAddHeaderLines) {
  EXPECT_EQ(MultipartFormData::escapedHeaderText("a\"b\rc\nd%e"), "a%22b%0Dc%0Ad%e");

  TempDir dir;
  const auto file = dir.write("x", Bytes{'x'});
  const std::string hostile =
      "0123456789abcdef0123456789abcdef.png\"; name=\"key\r\nContent-Type: text/html\r\n\r\nX";
  MultipartFormData form("Boundary-H", {{"key", "k"}}, hostile, "image/png");
  const std::string prefix = text(form.prefix());
  EXPECT_NE(prefix.find("filename=\"0123456789abcdef0123456789abcdef.png%22; name=%22key%0D%0A"
                        "Content-Type: text/html%0D%0A%0D%0AX\"\r\n"),
            std::string::npos)
      << prefix;

  tasktest::ParsedForm parsed =
      tasktest::parseWithWerkzeug(wholeBody(form.httpBody(file, 1)), form.contentTypeHeaderValue());
  ASSERT_EQ(parsed.error, "");
  EXPECT_EQ(parsed.fields.size(), 1u);
  EXPECT_EQ(parsed.fields.at("key"), "k");
  EXPECT_EQ(parsed.fileContentType, "image/png");
  EXPECT_EQ(parsed.fileBytes, Bytes{'x'});
  EXPECT_EQ(parsed.fileName.find('\n'), std::string::npos);
}

TEST(MultipartUploadTaskTest, FormHoldsTheSixFieldsWithTheAnswersTopLevelKey) {
  UploadTaskComponents components(Url::fileURL("/tmp/a.png"),
                                  *Url::parse("https://cdn.example.com/remote.png"), "image/png",
                                  10);
  MultipartUploadTask multipart(components, startResponse("http://127.0.0.1:1/storage"));
  const std::map<std::string, std::string> expected{
      {"content-type", "image/png"},
      {"policy", "UE9MSUNZ"},
      {"signature", "U0lH"},
      {"acl", "public-read"},
      {"key", "0123456789abcdef0123456789abcdef.png"},
      {"AWSAccessKeyId", "ACCESS"},
  };
  EXPECT_EQ(multipart.formFields(), expected);
}

class MultipartUploadFailureTest : public ::testing::Test {
 protected:
  Result<std::shared_ptr<HttpTask>> uploadOf(const std::filesystem::path& file,
                                             const std::string& url) {
    UploadTaskComponents components(
        Url::fileURL(file), *Url::parse("https://cdn.example.com/remote.png"), "image/png", 1);
    return MultipartUploadTask(components, startResponse(url)).upload({});
  }
  TempDir dir_;
};

TEST_F(MultipartUploadFailureTest, UnreadableFileFailsBeforeAnyTransfer) {
  const std::size_t transfersBefore = HttpSession::stats().liveTransfers;
  const auto locked = dir_.write("locked.png", Bytes{'x'});
  std::filesystem::permissions(locked, std::filesystem::perms::none);
  // Missing, a folder, a file without permission (which root reads all the same).
  const std::pair<std::filesystem::path, int> cases[] = {
      {dir_.path() / "gone.png", 260}, {dir_.path(), 256}, {locked, ::geteuid() == 0 ? 0 : 257}};
  for (const auto& [file, code] : cases) {
    if (code == 0) continue;
    Result<std::shared_ptr<HttpTask>> upload = uploadOf(file, "http://127.0.0.1:1/storage");
    ASSERT_FALSE(upload.ok()) << file;
    EXPECT_EQ(upload.error().domain(), "NSCocoaErrorDomain");
    EXPECT_EQ(upload.error().code(), code);
  }
  EXPECT_EQ(HttpSession::stats().liveTransfers, transfersBefore);
}

}  // namespace
}  // namespace lumo
