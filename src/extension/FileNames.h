#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

#include "lumo/platform/FileManager.h"
#include "lumo/platform/Url.h"
#include "lumo/support/Result.h"

namespace lumo::extension_detail {

// Whether `name` can be appended to a folder and stay a file in it: not empty, not "." or "..",
// without "/" or NUL, at most kFileNameMax bytes.
bool isUsableFileName(std::string_view name);

// The local path of `url`; fails for URLs that are not file URLs and for paths holding a NUL
// byte (which the system calls would cut short).
Result<std::filesystem::path> localPath(const Url& url);

// `text` with every byte that is not part of valid UTF-8, every control character and every
// "/" replaced by "_".
std::string sanitizedFileNamePart(std::string_view text);

}  // namespace lumo::extension_detail
