#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "lumo/platform/MimeTypes.h"

namespace lumo {
namespace {

namespace fs = std::filesystem;

class MimeTypesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/lumo-mime-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    std::ofstream(dir_ / "globs2") << "# generated\n"
                                      "80:text/x-heavy:*.dup\n"
                                      "50:application/pdf:*.pdf\n"
                                      "50:text/x-c++src:*.C:cs\n"
                                      "50:text/x-csrc:*.c:cs\n"
                                      "50:application/x-compressed-tar:*.tar.gz\n"
                                      "50:application/gzip:*.gz\n"
                                      "50:text/x-light:*.dup\n"
                                      "50:application/x-sharedlib:*.so.[0-9]*\n"
                                      "50:text/x-makefile:makefile\n"
                                      "40:text/x-later-heavier:*.later\n"
                                      "90:text/x-later-heavier2:*.later\n"
                                      "garbage line\n"
                                      "x:y:*.bad\n";
    std::ofstream(dir_ / "mime.types") << "# comment\n"
                                          "application/x-only-here  onlyhere oh\n"
                                          "application/pdf-from-mime-types pdf\n"
                                          "image/png-from-mime-types png\n"
                                          "noslash word\n";
  }
  void TearDown() override { fs::remove_all(dir_); }

  MimeTypes registry() const { return MimeTypes({dir_ / "globs2", dir_ / "mime.types"}); }

  fs::path dir_;
};

TEST_F(MimeTypesTest, BuiltInTableComesFirst) {
  auto types = registry();
  EXPECT_EQ(types.mimeType("png"), "image/png");
  EXPECT_EQ(types.mimeType("PNG"), "image/png");
  EXPECT_EQ(types.mimeType("jpg"), "image/jpeg");
  EXPECT_EQ(types.mimeType("jpeg"), "image/jpeg");
  EXPECT_EQ(types.mimeType("gif"), "image/gif");
  EXPECT_EQ(types.mimeType("mp4"), "video/mp4");
  EXPECT_EQ(types.mimeType("mov"), "video/quicktime");
  EXPECT_EQ(types.mimeType("html"), "text/html");
}

TEST_F(MimeTypesTest, GlobsThenMimeTypesFile) {
  auto types = registry();
  EXPECT_EQ(types.mimeType("pdf"), "application/pdf");
  EXPECT_EQ(types.mimeType("PdF"), "application/pdf");
  EXPECT_EQ(types.mimeType("onlyhere"), "application/x-only-here");
  EXPECT_EQ(types.mimeType("OH"), "application/x-only-here");
  EXPECT_EQ(types.mimeType("dup"), "text/x-heavy");
  EXPECT_EQ(types.mimeType("later"), "text/x-later-heavier2");
  EXPECT_EQ(types.mimeType("tar.gz"), "application/x-compressed-tar");
  EXPECT_EQ(types.mimeType("gz"), "application/gzip");
}

TEST_F(MimeTypesTest, CaseSensitiveGlobsMatchExactly) {
  auto types = registry();
  EXPECT_EQ(types.mimeType("C"), "text/x-c++src");
  EXPECT_EQ(types.mimeType("c"), "text/x-csrc");
}

TEST_F(MimeTypesTest, UnknownEmptyAndPatternsAreNone) {
  auto types = registry();
  for (const char* ext : {"", "zzz-unknown", "so.1", "makefile", "bad", "word", "*", ".pdf"}) {
    EXPECT_EQ(types.mimeType(ext), std::nullopt) << ext;
  }
  MimeTypes empty({dir_ / "none", dir_ / "none-either"});
  EXPECT_EQ(empty.mimeType("pdf"), std::nullopt);
  EXPECT_EQ(empty.mimeType("png"), "image/png");
}

TEST(MimeTypesSystem, KnowsCommonTypes) {
  const auto& types = MimeTypes::system();
  EXPECT_EQ(types.mimeType("pdf"), "application/pdf");
  EXPECT_EQ(types.mimeType("txt"), "text/plain");
  EXPECT_EQ(types.mimeType("zip"), "application/zip");
  EXPECT_EQ(types.mimeType("no-such-extension-here"), std::nullopt);
}

}  // namespace
}  // namespace lumo
