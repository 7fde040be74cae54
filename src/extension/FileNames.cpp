#include "FileNames.h"

#include <cerrno>
#include <cstring>

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

namespace {

// The length of the valid UTF-8 sequence at the start of `text`, or 0 when it does not start
// with one. Overlong forms, surrogates and code points beyond U+10FFFF are not valid.
std::size_t utf8SequenceLength(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  std::size_t length;
  unsigned char low = 0x80;
  unsigned char high = 0xbf;
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    if (lead == 0xe0) low = 0xa0;   // overlong
    if (lead == 0xed) high = 0x9f;  // surrogates
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    if (lead == 0xf0) low = 0x90;   // overlong
    if (lead == 0xf4) high = 0x8f;  // beyond U+10FFFF
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  if (byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xbf) return 0;
  }
  return length;
}

}  // namespace

std::string sanitizedFileNamePart(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  while (!text.empty()) {
    const std::size_t length = utf8SequenceLength(text);
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
