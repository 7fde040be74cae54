#include "FileNames.h"

#include <cerrno>
#include <cstring>

#include "lumo/platform/UTF8.h"

namespace lumo::extension_detail {

bool isUsableFileName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.size() <= kFileNameMax &&
         name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

Result<std::filesystem::path> localPath(const Url& url) {
  if (!url.isFileURL()) {
    return Error(FileError{EINVAL, {}, quotedPath(url.absoluteString()) + " is not a local file"});
  }
  std::filesystem::path path = url.filePath();
  if (path.native().find('\0') != std::string::npos) {
    return Error(FileError{EINVAL, {}, quotedPath(url.absoluteString()) + " holds a NUL byte"});
  }
  return path;
}

std::string sanitizedFileNamePart(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  while (!text.empty()) {
    const std::size_t length = utf8CharacterLength(text);
    const auto lead = static_cast<unsigned char>(text[0]);
    if (length == 0 || lead < 0x20 || lead == 0x7f || lead == '/') {
      result += '_';
      text.remove_prefix(1);
      continue;
    }
    result.append(text.substr(0, length));
    text.remove_prefix(length);
  }
  return result;
}

}  // namespace lumo::extension_detail
