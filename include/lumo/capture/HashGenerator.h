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
//
// Stateless; safe from any thread.
class LUMO_API HashGenerator {
 public:
  // The size of the chunks in which files are read.
  static constexpr std::size_t kChunkSize = 1'048'576;

  // The digest of the file at `url`, streamed in chunks of `kChunkSize` bytes through one
  // reused buffer, so that memory stays bounded whatever the file's size. nullopt when the
  // file cannot be opened or read, and for anything but a regular file (folders, pipes,
  // devices). An empty file gives the digest of empty input.
  static std::optional<std::string> hashValue(const Url& url);

  // The digest of `data`. Any length works (longer values are fed in pieces).
  static std::string md5(std::span<const std::uint8_t> data);
  // The digest of the string's bytes (UTF-8 text as given).
  static std::string md5(std::string_view string);

  HashGenerator() = delete;
};

}  // namespace lumo
