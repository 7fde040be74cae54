#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "lumo/Export.h"
#include "lumo/platform/Url.h"
#include "lumo/support/Result.h"

namespace lumo {

// A failed file-system operation: the errno value, the path it concerns and a readable message
// ("Cannot move “a.png” to “/tmp/LumoTemp/a.png”: File exists").
struct LUMO_API FileError {
  int code = 0;
  std::filesystem::path path;
  std::string message;

  friend bool operator==(const FileError&, const FileError&) = default;
};

inline std::string localizedDescription(const FileError& e) {
  return e.message;
}

// `path` between typographic quotes, as the file manager's messages show it (“/tmp/a.png”).
LUMO_API std::string quotedPath(const std::filesystem::path& path);

// The system's text for errno value `code` ("No such file or directory"). Unlike strerror, safe
// on any thread.
LUMO_API std::string errnoText(int code);

// A `FileError` for `path` whose message is `action`, ": " and the system's text for errno value
// `code` ("Cannot copy “a.png”: No such file or directory").
LUMO_API FileError fileError(int code, const std::filesystem::path& path,
                             const std::string& action);

// The longest file name the file systems take, in bytes (NAME_MAX).
inline constexpr std::size_t kFileNameMax = 255;

// `text` (valid UTF-8) cut to at most `size` bytes without splitting a character: how a name
// is shortened to fit a file system.
LUMO_API std::string truncatedUTF8(std::string text, std::size_t size);

// The folders of the user's domain that the library works with, mapped onto the XDG base
// directories:
//
// - `library`: `$XDG_DATA_HOME`, default `~/.local/share`. Never created here.
// - `pictures`: the XDG pictures folder (`XDG_PICTURES_DIR` of `user-dirs.dirs`), default
//   `~/Pictures`.
// - `caches`: the application's own folder in `$XDG_CACHE_HOME` (default `~/.cache`), named
//   after `UserDefaults::applicationIdentifier()`. Never the cache root itself, which every
//   application of the user shares.
enum class SearchPathDirectory { library, pictures, caches };

// The file manager of the platform layer: `std::filesystem` and POSIX calls with the meaning
// the desktop's file manager gives them.
//
// - A move never replaces anything: it fails when the destination exists (`renameat2` with
//   `RENAME_NOREPLACE`), and copies then deletes across file systems.
// - A copy copies folders recursively, refuses an existing destination and keeps
//   modification dates.
// - A removal deletes folders recursively; a symbolic link is removed, not followed.
// - A folder has no file size.
//
//   auto& fm = FileManager::defaultManager();
//   if (auto r = fm.moveItem(from, to); !r) log(r.error().localizedDescription());
//
// Paths are byte strings: names need not be valid UTF-8. Every operation is safe to call from
// any thread; the manager holds no state.
class LUMO_API FileManager {
 public:
  using Date = std::chrono::system_clock::time_point;

  // The process-wide manager, created on first use and never destroyed.
  static FileManager& defaultManager();

  // Whether an item exists at `path`, following symbolic links (a dangling link is no item).
  bool fileExists(const std::filesystem::path& path) const;
  // Whether `path` names a folder (following symbolic links).
  bool isDirectory(const std::filesystem::path& path) const;

  // The size in bytes of the file at `path`; nullopt for folders, for other non-regular items
  // and when the item cannot be examined.
  std::optional<std::int64_t> fileSize(const std::filesystem::path& path) const;
  // The content modification date of the item at `path`, with the file system's precision.
  std::optional<Date> contentModificationDate(const std::filesystem::path& path) const;

  // Creates the folder `path`; with `withIntermediateDirectories` also its missing parents,
  // and an existing folder is then no error.
  Result<void> createDirectory(const std::filesystem::path& path,
                               bool withIntermediateDirectories) const;

  // Moves the item at `from` to `to`; fails with EEXIST when `to` exists.
  Result<void> moveItem(const std::filesystem::path& from, const std::filesystem::path& to) const;
  // Copies the item at `from` (a file, a folder with its contents, or a symbolic link) to `to`,
  // keeping permissions and modification dates; fails with EEXIST when `to` exists. A failed
  // copy leaves nothing at `to`.
  Result<void> copyItem(const std::filesystem::path& from, const std::filesystem::path& to) const;
  // Removes the item at `path`, with its contents when it is a folder; fails with ENOENT when
  // there is nothing to remove.
  Result<void> removeItem(const std::filesystem::path& path) const;

  // The direct entries of the folder at `path`, in no particular order. `skipHiddenFiles`
  // leaves out names beginning with a dot.
  Result<std::vector<std::filesystem::path>> contentsOfDirectory(const std::filesystem::path& path,
                                                                 bool skipHiddenFiles) const;

  // The folder URL of `directory` in the user's domain (see `SearchPathDirectory`).
  // `create` creates it (with its parents) when missing. Fails when no home folder can be
  // determined or the folder cannot be created.
  Result<Url> url(SearchPathDirectory directory, bool create) const;

  // The shared container of the application group `groupIdentifier`: the folder URL of
  // `$XDG_DATA_HOME/<groupIdentifier>` when that folder exists, else nullopt (the group is not
  // available to this process). Identifiers that are not a single path component give nullopt.
  std::optional<Url> containerURL(const std::string& groupIdentifier) const;

 private:
  FileManager() = default;
};

}  // namespace lumo
