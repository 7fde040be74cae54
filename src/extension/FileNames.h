#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

#include "lumo/platform/FileManager.h"
#include "lumo/platform/Url.h"
#include "lumo/support/Result.h"

namespace lumo::extension_detail {

// The longest file name the file systems take, in bytes (NAME_MAX).
inline constexpr std::size_t kNameMax = 255;

// Whether `name` can be appended to a folder and stay a file in it: not empty, not "." or "..",
// without "/" or NUL, at most kNameMax bytes.
bool isUsableFileName(std::string_view name);

// The local path of `url`; fails for URLs that are not file URLs and for paths holding a NUL
// byte (which the system calls would cut short).
Result<std::filesystem::path> localPath(const Url& url);

// `text` with every byte that is not part of valid UTF-8, every control character and every
// "/" replaced by "_".
std::string sanitizedFileNamePart(std::string_view text);

// `text` (valid UTF-8) cut to at most `size` bytes without splitting a character.
std::string truncatedUTF8(std::string text, std::size_t size);

}  // namespace lumo::extension_detail
