#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "../common/TestFiles.h"
#include "lumo/platform/MimeTypes.h"

namespace lumo {
namespace {

TEST(MimeTypes, BuiltInTableThenGlobsByWeightThenMimeTypesFile) {
  testing_files::TempDir dir;
  std::ofstream(dir / "globs2") << "# generated\n80:text/x-heavy:*.dup\n50:application/pdf:*.pdf\n"
                                   "50:text/x-c++src:*.C:cs\n50:text/x-csrc:*.c:cs\n"
                                   "50:application/x-compressed-tar:*.tar.gz\n"
                                   "50:application/gzip:*.gz\n50:text/x-light:*.dup\n"
                                   "50:application/x-sharedlib:*.so.[0-9]*\n"
                                   "50:text/x-makefile:makefile\n40:text/x-later:*.later\n"
                                   "90:text/x-later-heavier:*.later\ngarbage line\nx:y:*.bad\n";
  std::ofstream(dir / "mime.types") << "# comment\napplication/x-only-here  onlyhere oh\n"
                                       "application/pdf-from-mime-types pdf\n"
                                       "image/png-from-mime-types png\nnoslash word\n";
  const MimeTypes types({dir / "globs2", dir / "mime.types"});
  const MimeTypes none({dir / "none", dir / "none-either"});
  // extension, type from the files, type without them ("" for none).
  // clang-format off
  const char* const cases[][3] = {
      {"png", "image/png", "image/png"}, {"PNG", "image/png", "image/png"},
      {"jpg", "image/jpeg", "image/jpeg"}, {"jpeg", "image/jpeg", "image/jpeg"},
      {"gif", "image/gif", "image/gif"}, {"mp4", "video/mp4", "video/mp4"},
      {"mov", "video/quicktime", "video/quicktime"}, {"html", "text/html", "text/html"},
      {"pdf", "application/pdf", ""}, {"PdF", "application/pdf", ""},
      {"OH", "application/x-only-here", ""}, {"dup", "text/x-heavy", ""},
      {"later", "text/x-later-heavier", ""}, {"tar.gz", "application/x-compressed-tar", ""},
      {"gz", "application/gzip", ""}, {"C", "text/x-c++src", ""}, {"c", "text/x-csrc", ""},
      {"", "", ""}, {"so.1", "", ""}, {"makefile", "", ""}, {"bad", "", ""}, {"word", "", ""},
      {"*", "", ""}, {".pdf", "", ""}};
  // clang-format on
  for (const auto& [extension, withFiles, without] : cases) {
    EXPECT_EQ(types.mimeType(extension).value_or(""), withFiles) << extension;
    EXPECT_EQ(none.mimeType(extension).value_or(""), without) << extension;
  }
  for (const auto& [extension, type] : {std::pair{"pdf", "application/pdf"},
                                        {"txt", "text/plain"},
                                        {"zip", "application/zip"},
                                        {"no-such-one", ""}}) {
    EXPECT_EQ(MimeTypes::system().mimeType(extension).value_or(""), type) << extension;
  }
}

}  // namespace
}  // namespace lumo
