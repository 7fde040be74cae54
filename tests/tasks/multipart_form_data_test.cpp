// The storage post's body, byte for byte, and the checks made before anything is sent.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <variant>

#include "lumo/api/StartUploadResponse.h"
#include "lumo/platform/HttpSession.h"
#include "lumo/tasks/MultipartFormData.h"
#include "lumo/tasks/MultipartUploadTask.h"
#include "lumo/tasks/UploadTaskComponents.h"
#include "task_test_support.h"

namespace lumo {
namespace {

namespace fs = std::filesystem;

class MultipartFormDataTest : public ::testing::Test {
 protected:
  fs::path write(const std::string& name, const std::string& bytes) {
    std::ofstream(dir_ / name, std::ios::binary) << bytes;
    return dir_ / name;
  }
  // The body as it goes on the wire, the file read from disk.
  static std::string wire(const HttpBody& body) {
    std::string out;
    for (const HttpBody::Part& part : body.parts()) {
      if (const auto* bytes = std::get_if<HttpBody::Bytes>(&part)) {
        out.append(bytes->data.begin(), bytes->data.end());
      } else {
        const auto& range = std::get<HttpBody::FileRange>(part);
        std::ifstream in(range.path, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(range.offset));
        std::string file(range.length.value_or(fs::file_size(range.path) - range.offset), '\0');
        in.read(file.data(), static_cast<std::streamsize>(file.size()));
        out += file;
      }
    }
    return out;
  }
  static MultipartUploadTask upload(const fs::path& file) {
    StartUploadResponse response;
    response.key = "0123456789abcdef0123456789abcdef.png";
    response.presignedPost.url = "http://127.0.0.1:1/storage";
    response.presignedPost.fields = {"ACCESS", "public-read", "own-key", "UE9MSUNZ", "U0lH"};
    return MultipartUploadTask(
        UploadTaskComponents(Url::fileURL(file), *Url::parse("https://cdn.example.com/r.png"),
                             "image/png", 1),
        response);
  }

  fs::path dir_ = fs::temp_directory_path() / ("lumo-form-" + std::to_string(::getpid()));
  bool made_ = fs::create_directories(dir_);
  ~MultipartFormDataTest() override { fs::remove_all(dir_); }
};

TEST_F(MultipartFormDataTest, BodyIsFieldsThenTheStreamedFileThenTheClosingBoundary) {
  for (const std::string& content : {std::string("PNG\r\n\0", 6), std::string()}) {
    SCOPED_TRACE(content.size());
    const auto file = write("local name.png", content);
    MultipartFormData form("Boundary-B", {{"policy", "p"}, {"key", "k.png"}}, "k.png", "image/png");
    const std::string expected =
        "--Boundary-B\r\nContent-Disposition: form-data; name=\"policy\"\r\n\r\np\r\n"
        "--Boundary-B\r\nContent-Disposition: form-data; name=\"key\"\r\n\r\nk.png\r\n"
        "--Boundary-B\r\nContent-Disposition: form-data; name=\"file\"; filename=\"k.png\"\r\n"
        "Content-Type: image/png\r\n\r\n" +
        content + "\r\n--Boundary-B--";
    const HttpBody body = form.httpBody(file, content.size());
    EXPECT_EQ(wire(body), expected);
    EXPECT_EQ(form.contentLength(content.size()), expected.size());
    EXPECT_EQ(form.contentTypeHeaderValue(), "multipart/form-data; boundary=Boundary-B");
    if (!content.empty()) {  // the file is read while sending, not copied
      ASSERT_EQ(body.parts().size(), 3u);
      EXPECT_EQ(std::get<HttpBody::FileRange>(body.parts()[1]).path, file);
    }
  }
  const std::string boundary = MultipartFormData::makeBoundary();
  EXPECT_NE(boundary, MultipartFormData::makeBoundary());
  EXPECT_TRUE(boundary.rfind("Boundary-", 0) == 0 && tasktest::isUpperCaseUUID(boundary.substr(9)))
      << boundary;
}

// A quote, CR or LF in a remote name must neither end the quoted file name nor start a header.
TEST_F(MultipartFormDataTest, HostileFileNamesCannotAddHeaderLines) {
  EXPECT_EQ(MultipartFormData::escapedHeaderText("a\"b\rc\nd%e"), "a%22b%0Dc%0Ad%e");
  MultipartFormData form("B", {}, "x.png\"; name=\"key\r\nContent-Type: text/html", "image/png");
  const auto prefix = form.prefix();
  EXPECT_NE(std::string(prefix.begin(), prefix.end())
                .find("filename=\"x.png%22; name=%22key%0D%0AContent-Type: text/html\"\r\n"),
            std::string::npos);
}

TEST_F(MultipartFormDataTest, StoragePostCarriesTheSixFieldsWithTheAnswersKey) {
  const std::map<std::string, std::string> expected{{"content-type", "image/png"},
                                                    {"policy", "UE9MSUNZ"},
                                                    {"signature", "U0lH"},
                                                    {"acl", "public-read"},
                                                    {"key", "0123456789abcdef0123456789abcdef.png"},
                                                    {"AWSAccessKeyId", "ACCESS"}};
  EXPECT_EQ(upload("/tmp/a.png").formFields(), expected);
}

TEST_F(MultipartFormDataTest, UnreadableFileFailsBeforeAnyTransfer) {
  const std::size_t transfers = HttpSession::stats().liveTransfers;
  const auto locked = write("locked.png", "x");
  fs::permissions(locked, fs::perms::none);
  // Missing, a folder, no permission (which root has all the same).
  for (const auto& [file, code] :
       {std::pair{dir_ / "gone.png", 260}, {dir_, 256}, {locked, ::geteuid() ? 257 : 0}}) {
    if (code == 0) continue;
    const auto result = upload(file).upload({});
    ASSERT_FALSE(result.ok()) << file;
    EXPECT_EQ(result.error().domain(), "NSCocoaErrorDomain");
    EXPECT_EQ(result.error().code(), code);
  }
  EXPECT_EQ(HttpSession::stats().liveTransfers, transfers);
}

}  // namespace
}  // namespace lumo
