#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "lumo/Export.h"
#include "lumo/platform/Url.h"

namespace lumo {

// MD5 digests as lowercase hexadecimal text (32 characters), computed with OpenSSL's EVP
// interface. The digest of a file names its upload remotely.
//
//   HashGenerator::md5(std::string_view("abc"));         // "900150983cd24fb0d6963f7d28e17f72"
//   HashGenerator::hashValue(Url::fileURL("/tmp/a.mp4"));  // nullopt when it cannot be read
//   HashGenerator::cachedHashValue(Url::fileURL("/tmp/a.mp4"));  // read once per file version
//
// Safe from any thread. The one state is the process's digest cache, behind its own lock.
class LUMO_API HashGenerator {
 public:
  // The size of the chunks in which files are read.
  static constexpr std::size_t kChunkSize = 1'048'576;
  // How many files the digest cache remembers; the least recently asked goes first.
  static constexpr std::size_t kCacheCapacity = 256;

  struct CacheStatistics {
    std::uint64_t hits = 0;    // answers found in the cache, the file not read
    std::uint64_t misses = 0;  // files read (and remembered unless they changed meanwhile)
    std::size_t entries = 0;   // files remembered now, at most kCacheCapacity
  };

  // The digest of the file at `url`, streamed in chunks of `kChunkSize` bytes through one
  // reused buffer, so that memory stays bounded whatever the file's size. nullopt when the
  // file cannot be opened or read, and for anything but a regular file (folders, pipes,
  // devices). An empty file gives the digest of empty input.
  static std::optional<std::string> hashValue(const Url& url);

  // As `hashValue`, remembered by the file's identity: device, inode, size and modification
  // time to the nanosecond. Asking again for a file none of them changed for reads nothing; a
  // file rewritten, touched or replaced under the same path is read again. A file that changes
  // while it is read is not remembered, nor one modified within the file system's clock tick
  // (20 ms, or 2 s where times are whole seconds) before it is read: it could still change
  // without a new time. Two threads that miss the same file at once both read
  // it. Every digest that names a capture goes through here (`ScreenCapture::hashValue`), so a
  // share, a remote check and a delete of one file read it once per process.
  static std::optional<std::string> cachedHashValue(const Url& url);
  // The digest cache's counts since the process started.
  static CacheStatistics cacheStatistics();

  // The digest of `data`. Any length works (longer values are fed in pieces).
  static std::string md5(std::span<const std::uint8_t> data);
  // The digest of the string's bytes (UTF-8 text as given).
  static std::string md5(std::string_view string);

  HashGenerator() = delete;
};

}  // namespace lumo
