#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "lumo/Export.h"

namespace lumo {

// The type registry of the platform layer: file-name extension → MIME type.
//
// A lookup asks, in order:
// 1. a built-in table of the types the product makes (png, jpeg, jpg, gif, mp4, mov, html);
// 2. the freedesktop shared MIME database (`/usr/share/mime/globs2`), only its simple
//    `*.ext` globs, the heaviest glob winning;
// 3. `/etc/mime.types`;
// and answers nullopt when none knows the extension.
//
// Extensions match case-insensitively, as the desktop registries do, except for the
// database's case-sensitive globs (`*.C` is C++, `*.c` is C), which match exactly and take
// precedence. The extension is given without its dot; one with several parts ("tar.gz")
// matches globs of that form.
//
//   MimeTypes::system().mimeType("pdf");   // "application/pdf"
//   MimeTypes::system().mimeType("PNG");   // "image/png"
//   MimeTypes::system().mimeType("zzz");   // nullopt
//
// Tests construct their own registry from files of their own. Lookups are read-only and safe
// from any thread; missing or unreadable files count as empty.
class LUMO_API MimeTypes {
 public:
  // The files a registry reads.
  struct Sources {
    std::filesystem::path globs2 = "/usr/share/mime/globs2";
    std::filesystem::path mimeTypes = "/etc/mime.types";
  };

  // A registry over `sources`, read once now.
  explicit MimeTypes(const Sources& sources);

  // The registry over the system's files, read on first use and never destroyed.
  static const MimeTypes& system();

  // The MIME type of files with the extension `extension`, or nullopt when it is empty or
  // unknown.
  std::optional<std::string> mimeType(std::string_view extension) const;

 private:
  struct Glob {
    int weight = 0;
    std::string mimeType;
  };

  void readGlobs2(const std::filesystem::path& path);
  void readMimeTypes(const std::filesystem::path& path);

  // Filled by the constructor, read-only afterwards.
  std::map<std::string, Glob, std::less<>> caseSensitiveGlobs_;    // exact extension
  std::map<std::string, Glob, std::less<>> caseInsensitiveGlobs_;  // lower-case extension
  std::map<std::string, std::string, std::less<>> mimeTypesFile_;  // lower-case extension
};

}  // namespace lumo
