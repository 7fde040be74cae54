#include "lumo/capture/HashGenerator.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <memory>

#include "lumo/platform/FileDescriptor.h"

namespace lumo {
namespace {

struct DigestContextFreer {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestContextFreer>;

// The MD5 algorithm, fetched once from the default provider (an implicit fetch per digest
// costs a lock and a lookup) and never freed.
const EVP_MD* md5Algorithm() {
  static const EVP_MD* algorithm = [] {
    const EVP_MD* fetched = EVP_MD_fetch(nullptr, "MD5", nullptr);
    return fetched ? fetched : EVP_md5();
  }();
  return algorithm;
}

DigestContext startDigest() {
  DigestContext context(EVP_MD_CTX_new());
  if (!context || EVP_DigestInit_ex(context.get(), md5Algorithm(), nullptr) != 1) return nullptr;
  return context;
}

std::optional<std::string> finishDigest(EVP_MD_CTX* context) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context, digest.data(), &length) != 1) return std::nullopt;
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(std::size_t{2} * length);
  for (unsigned int i = 0; i < length; ++i) {
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 0xf];
  }
  return text;
}

}  // namespace

std::optional<std::string> HashGenerator::hashValue(const Url& url) {
  if (!url.isFileURL()) return std::nullopt;
  // O_NONBLOCK keeps the open of a pipe without writer from waiting; only regular files are
  // digested (a folder has no digest, and a pipe or device may never end).
  FileDescriptor file(::open(url.filePath().c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (file.get() < 0) return std::nullopt;
  struct stat st {};
  if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  ::posix_fadvise(file.get(), 0, 0, POSIX_FADV_SEQUENTIAL);

  DigestContext context = startDigest();
  if (!context) return std::nullopt;
  // One buffer for the whole file: each chunk is digested before the next overwrites it.
  auto buffer = std::make_unique_for_overwrite<unsigned char[]>(kChunkSize);
  while (true) {
    ssize_t n = ::read(file.get(), buffer.get(), kChunkSize);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (EVP_DigestUpdate(context.get(), buffer.get(), static_cast<size_t>(n)) != 1) {
      return std::nullopt;
    }
  }
  return finishDigest(context.get());
}

std::string HashGenerator::md5(std::span<const std::uint8_t> data) {
  DigestContext context = startDigest();
  if (!context) return {};
  for (std::size_t offset = 0; offset < data.size(); offset += kChunkSize) {
    const std::size_t length = std::min(kChunkSize, data.size() - offset);
    if (EVP_DigestUpdate(context.get(), data.data() + offset, length) != 1) return {};
  }
  return finishDigest(context.get()).value_or(std::string());
}

std::string HashGenerator::md5(std::string_view string) {
  return md5(std::span(reinterpret_cast<const std::uint8_t*>(string.data()), string.size()));
}

}  // namespace lumo
