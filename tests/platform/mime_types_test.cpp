#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "../common/TestFiles.h"
#include "lumo/platform/MimeTypes.h"

namespace lumo {
namespace {

using namespace testing_files;

TEST(MimeTypes, BuiltInTableThenGlobsThenMimeTypesFile) {
  TempDir dir;
  std::ofstream(dir / "globs2") << "# generated\n"
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
  std::ofstream(dir / "mime.types") << "# comment\n"
                                       "application/x-only-here  onlyhere oh\n"
                                       "application/pdf-from-mime-types pdf\n"
                                       "image/png-from-mime-types png\n"
                                       "noslash word\n";
  const MimeTypes types({dir / "globs2", dir / "mime.types"});
  const std::pair<const char*, const char*> known[] = {
      // The built-in table comes first.
      {"png", "image/png"},
      {"PNG", "image/png"},
      {"jpg", "image/jpeg"},
      {"jpeg", "image/jpeg"},
      {"gif", "image/gif"},
      {"mp4", "video/mp4"},
      {"mov", "video/quicktime"},
      {"html", "text/html"},
      // Then the globs by weight, then mime.types; case-sensitive globs match exactly.
      {"pdf", "application/pdf"},
      {"PdF", "application/pdf"},
      {"onlyhere", "application/x-only-here"},
      {"OH", "application/x-only-here"},
      {"dup", "text/x-heavy"},
      {"later", "text/x-later-heavier2"},
      {"tar.gz", "application/x-compressed-tar"},
      {"gz", "application/gzip"},
      {"C", "text/x-c++src"},
      {"c", "text/x-csrc"},
  };
  for (const auto& [extension, type] : known)
    EXPECT_EQ(types.mimeType(extension), type) << extension;
  // Unknown, empty, and patterns that are not plain extensions.
  for (const char* ext : {"", "zzz-unknown", "so.1", "makefile", "bad", "word", "*", ".pdf"}) {
    EXPECT_EQ(types.mimeType(ext), std::nullopt) << ext;
  }
  const MimeTypes empty({dir / "none", dir / "none-either"});
  EXPECT_EQ(empty.mimeType("pdf"), std::nullopt);
  EXPECT_EQ(empty.mimeType("png"), "image/png");
}

TEST(MimeTypes, SystemKnowsCommonTypes) {
  const auto& types = MimeTypes::system();
  EXPECT_EQ(types.mimeType("pdf"), "application/pdf");
  EXPECT_EQ(types.mimeType("txt"), "text/plain");
  EXPECT_EQ(types.mimeType("zip"), "application/zip");
  EXPECT_EQ(types.mimeType("no-such-extension-here"), std::nullopt);
}

}  // namespace
}  // namespace lumo
