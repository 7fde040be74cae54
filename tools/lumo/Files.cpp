#include "Files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <system_error>

#include "lumo/platform/FileDescriptor.h"

namespace lumo::cli {
namespace fs = std::filesystem;
namespace {

// "Permission denied" reads as "permission denied" after "FILE: ".
std::string systemReason(int error) {
  if (error == ENOENT) return "no such file";
  std::string text = std::generic_category().message(error);
  if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  return text;
}

}  // namespace

fs::path normalPath(const std::string& file) {
  std::error_code ec;
  fs::path path = fs::absolute(file, ec);
  if (ec) path = fs::path(file);
  return path.lexically_normal();
}

std::optional<std::string> whyUnreadable(const fs::path& path) {
  std::error_code ec;
  const auto status = fs::status(path, ec);
  if (ec) return systemReason(ec.value());
  if (fs::is_directory(status)) return "is a folder";
  if (!fs::is_regular_file(status)) return "not a regular file";
  const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file) return systemReason(errno);
  return std::nullopt;
}

std::optional<std::string> whyNotShareable(const fs::path& path) {
  if (!path.extension().empty()) return std::nullopt;
  return "has no extension, and the service names uploads by it; give it one (e.g. " +
         path.filename().string() + ".txt, or the extension of its type) and share it again";
}

}  // namespace lumo::cli
