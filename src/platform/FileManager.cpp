#include "lumo/platform/FileManager.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <system_error>
#include <utility>

#include "lumo/platform/FileDescriptor.h"
#include "lumo/platform/UserDefaults.h"

namespace lumo {
namespace fs = std::filesystem;

std::string truncatedUTF8(std::string text, std::size_t size) {
  if (text.size() <= size) return text;
  std::size_t end = size;
  // Step back over continuation bytes to the start of the character that would be cut.
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xc0) == 0x80) --end;
  text.resize(end);
  return text;
}

std::string errnoText(int code) {
  char buffer[256];
  // GNU strerror_r may return a static string instead of filling the buffer.
  return ::strerror_r(code, buffer, sizeof buffer);
}

namespace {

// Copies the remaining bytes of `in` to `out`; returns 0 or an errno value.
int copyBytes(int in, int out) {
  bool useCopyFileRange = true;
  while (true) {
    if (useCopyFileRange) {
      ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
      if (n > 0) continue;
      if (n == 0) return 0;
      if (errno == EINTR) continue;
      // Not every pair of file systems supports it; plain reads and writes always work.
      if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP) {
        useCopyFileRange = false;
        continue;
      }
      return errno;
    }
    char buffer[64 * 1024];
    ssize_t n = ::read(in, buffer, sizeof buffer);
    if (n == 0) return 0;
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    for (ssize_t written = 0; written < n;) {
      ssize_t w = ::write(out, buffer + written, static_cast<size_t>(n - written));
      if (w < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      written += w;
    }
  }
}

// Copies `from` to `to`, which must not exist. `created` becomes true as soon as something
// exists at `to` that this call made, so that the caller can clean up after a failure.
Result<void> copyTree(const fs::path& from, const fs::path& to, bool& created) {
  struct stat st {};
  if (::lstat(from.c_str(), &st) != 0) {
    return fileError(errno, from, "Cannot copy " + quotedPath(from));
  }
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  const std::string action = "Cannot copy " + quotedPath(from) + " to " + quotedPath(to);

  if (S_ISLNK(st.st_mode)) {
    std::string target(static_cast<size_t>(st.st_size) + 1, '\0');
    ssize_t n = ::readlink(from.c_str(), target.data(), target.size());
    if (n < 0) return fileError(errno, from, action);
    target.resize(static_cast<size_t>(n));
    if (::symlink(target.c_str(), to.c_str()) != 0) return fileError(errno, to, action);
    created = true;
    ::utimensat(AT_FDCWD, to.c_str(), times, AT_SYMLINK_NOFOLLOW);
    return {};
  }

  if (S_ISDIR(st.st_mode)) {
    if (::mkdir(to.c_str(), 0700) != 0) return fileError(errno, to, action);
    created = true;
    std::error_code ec;
    fs::directory_iterator it(from, ec);
    if (ec) return fileError(ec.value(), from, action);
    for (; it != fs::directory_iterator(); it.increment(ec)) {
      bool childCreated = false;
      const fs::path child = it->path();
      if (auto r = copyTree(child, to / child.filename(), childCreated); !r) return r.error();
    }
    if (ec) return fileError(ec.value(), from, action);
    if (::chmod(to.c_str(), st.st_mode & 07777) != 0) return fileError(errno, to, action);
    // Last, so that writing the contents does not move the folder's date again.
    if (::utimensat(AT_FDCWD, to.c_str(), times, 0) != 0) return fileError(errno, to, action);
    return {};
  }

  if (!S_ISREG(st.st_mode)) return fileError(ENOTSUP, from, action);

  FileDescriptor in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) return fileError(errno, from, action);
  FileDescriptor out(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (out.get() < 0) return fileError(errno, to, action);
  created = true;
  if (int e = copyBytes(in.get(), out.get()); e != 0) return fileError(e, to, action);
  if (::fchmod(out.get(), st.st_mode & 07777) != 0) return fileError(errno, to, action);
  if (::futimens(out.get(), times) != 0) return fileError(errno, to, action);
  if (!out.close()) return fileError(errno, to, action);
  return {};
}

// The user's home folder: $HOME, else the password database.
std::optional<fs::path> homeDirectory() {
  if (const char* home = std::getenv("HOME"); home && home[0] == '/') return fs::path(home);
  struct passwd pwd {};
  struct passwd* result = nullptr;
  std::string buffer(16384, '\0');
  if (::getpwuid_r(::getuid(), &pwd, buffer.data(), buffer.size(), &result) == 0 && result &&
      result->pw_dir && result->pw_dir[0] == '/') {
    return fs::path(result->pw_dir);
  }
  return std::nullopt;
}

// An XDG base directory: the variable when it holds an absolute path (relative ones are
// invalid and ignored), else `fallback` under the home folder.
std::optional<fs::path> xdgDirectory(const char* variable, const char* fallback) {
  if (const char* value = std::getenv(variable); value && value[0] == '/') return fs::path(value);
  auto home = homeDirectory();
  if (!home) return std::nullopt;
  return *home / fallback;
}

// XDG_PICTURES_DIR from user-dirs.dirs ("$HOME/Pictures" or an absolute path), else
// ~/Pictures.
std::optional<fs::path> picturesDirectory() {
  auto home = homeDirectory();
  if (!home) return std::nullopt;
  if (auto config = xdgDirectory("XDG_CONFIG_HOME", ".config")) {
    std::ifstream file(*config / "user-dirs.dirs");
    std::string line;
    std::optional<fs::path> found;
    while (std::getline(file, line)) {
      const std::string key = "XDG_PICTURES_DIR=";
      if (line.rfind(key, 0) != 0) continue;
      std::string value = line.substr(key.size());
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.substr(1, value.size() - 2);
      }
      if (value == "$HOME") {
        found = *home;
      } else if (value.rfind("$HOME/", 0) == 0) {
        found = *home / value.substr(6);
      } else if (!value.empty() && value[0] == '/') {
        found = fs::path(value);
      }
    }
    if (found) return found;
  }
  return *home / "Pictures";
}

}  // namespace

std::string quotedPath(const fs::path& path) {
  return "\u201c" + path.native() + "\u201d";
}

FileError fileError(int code, const fs::path& path, const std::string& action) {
  return FileError{code, path, action + ": " + errnoText(code)};
}

FileManager& FileManager::defaultManager() {
  static FileManager* manager = new FileManager();
  return *manager;
}

bool FileManager::fileExists(const fs::path& path) const {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

bool FileManager::isDirectory(const fs::path& path) const {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<std::int64_t> FileManager::fileSize(const fs::path& path) const {
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return static_cast<std::int64_t>(st.st_size);
}

std::optional<FileManager::Date> FileManager::contentModificationDate(const fs::path& path) const {
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return std::nullopt;
  auto since =
      std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec);
  return Date(std::chrono::duration_cast<Date::duration>(since));
}

Result<void> FileManager::createDirectory(const fs::path& path,
                                          bool withIntermediateDirectories) const {
  const std::string action = "Cannot create the folder " + quotedPath(path);
  if (!withIntermediateDirectories) {
    if (::mkdir(path.c_str(), 0777) != 0) return fileError(errno, path, action);
    return {};
  }
  std::error_code ec;
  fs::create_directories(path, ec);
  if (ec) return fileError(ec.value(), path, action);
  if (!isDirectory(path)) return fileError(ENOTDIR, path, action);
  return {};
}

Result<void> FileManager::moveItem(const fs::path& from, const fs::path& to) const {
  const std::string action = "Cannot move " + quotedPath(from) + " to " + quotedPath(to);
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return {};
  int e = errno;
  if (e == EINVAL) {
    // File systems without RENAME_NOREPLACE: check, then rename.
    struct stat st {};
    if (::lstat(to.c_str(), &st) == 0) return fileError(EEXIST, to, action);
    if (::rename(from.c_str(), to.c_str()) == 0) return {};
    e = errno;
  }
  if (e != EXDEV) return fileError(e, from, action);

  // Another file system: copy, then delete the original; a failure leaves the original.
  if (auto copied = copyItem(from, to); !copied) return copied.error();
  if (auto removed = removeItem(from); !removed) {
    (void)removeItem(to);
    return removed.error();
  }
  return {};
}

Result<void> FileManager::copyItem(const fs::path& from, const fs::path& to) const {
  struct stat st {};
  if (::lstat(to.c_str(), &st) == 0) {
    return fileError(EEXIST, to, "Cannot copy " + quotedPath(from) + " to " + quotedPath(to));
  }
  bool created = false;
  auto result = copyTree(from, to, created);
  if (result) return {};
  if (created) {
    std::error_code ec;
    fs::remove_all(to, ec);
  }
  return result.error();
}

Result<void> FileManager::removeItem(const fs::path& path) const {
  const std::string action = "Cannot remove " + quotedPath(path);
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return fileError(errno, path, action);
  std::error_code ec;
  fs::remove_all(path, ec);
  if (ec) return fileError(ec.value(), path, action);
  return {};
}

Result<std::vector<fs::path>> FileManager::contentsOfDirectory(const fs::path& path,
                                                               bool skipHiddenFiles) const {
  const std::string action = "Cannot list the folder " + quotedPath(path);
  std::error_code ec;
  fs::directory_iterator it(path, ec);
  if (ec) return Error(fileError(ec.value(), path, action));
  std::vector<fs::path> entries;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    const fs::path& entry = it->path();
    if (skipHiddenFiles && entry.filename().native().starts_with('.')) continue;
    entries.push_back(entry);
  }
  if (ec) return Error(fileError(ec.value(), path, action));
  return entries;
}

Result<Url> FileManager::url(SearchPathDirectory directory, bool create) const {
  std::optional<fs::path> path;
  switch (directory) {
    case SearchPathDirectory::library:
      path = xdgDirectory("XDG_DATA_HOME", ".local/share");
      break;
    case SearchPathDirectory::pictures:
      path = picturesDirectory();
      break;
    case SearchPathDirectory::caches:
      // The cache root is shared by every application of the user: ours is a folder in it.
      path = xdgDirectory("XDG_CACHE_HOME", ".cache");
      if (path) *path /= UserDefaults::applicationIdentifier();
      break;
  }
  if (!path) {
    return Error(FileError{ENOENT, {}, "Cannot find the user's home folder (HOME is not set)"});
  }
  if (create) {
    if (auto r = createDirectory(*path, true); !r) return r.error();
  }
  return Url::fileURL(*path, true);
}

std::optional<Url> FileManager::containerURL(const std::string& groupIdentifier) const {
  if (groupIdentifier.empty() || groupIdentifier == "." || groupIdentifier == ".." ||
      groupIdentifier.find('/') != std::string::npos ||
      groupIdentifier.find('\0') != std::string::npos) {
    return std::nullopt;
  }
  auto library = xdgDirectory("XDG_DATA_HOME", ".local/share");
  if (!library) return std::nullopt;
  fs::path container = *library / groupIdentifier;
  if (!isDirectory(container)) return std::nullopt;
  return Url::fileURL(container, true);
}

}  // namespace lumo
