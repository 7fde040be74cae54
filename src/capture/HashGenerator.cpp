#include "lumo/capture/HashGenerator.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>

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

// The file at `url` opened for digesting, `st` what fstat says of it; no descriptor for
// anything but a regular file that can be read.
FileDescriptor openRegularFile(const Url& url, struct stat& st) {
  if (!url.isFileURL()) return {};
  // O_NONBLOCK keeps the open of a pipe without writer from waiting; only regular files are
  // digested (a folder has no digest, and a pipe or device may never end).
  FileDescriptor file(::open(url.filePath().c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (file.get() < 0) return {};
  if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
  return file;
}

std::optional<std::string> digestFile(int fd) {
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  DigestContext context = startDigest();
  if (!context) return std::nullopt;
  // One buffer for the whole file: each chunk is digested before the next overwrites it.
  auto buffer = std::make_unique_for_overwrite<unsigned char[]>(HashGenerator::kChunkSize);
  while (true) {
    ssize_t n = ::read(fd, buffer.get(), HashGenerator::kChunkSize);
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

// What tells one version of a file from another without reading it.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  time_t seconds = 0;
  long nanoseconds = 0;

  static FileIdentity of(const struct stat& st) {
    return {st.st_dev, st.st_ino, st.st_size, st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
  }
  bool operator==(const FileIdentity&) const = default;
};

struct FileIdentityHash {
  std::size_t operator()(const FileIdentity& id) const {
    std::size_t h = 0;
    for (const auto part :
         {static_cast<std::uint64_t>(id.device), static_cast<std::uint64_t>(id.inode),
          static_cast<std::uint64_t>(id.size), static_cast<std::uint64_t>(id.seconds),
          static_cast<std::uint64_t>(id.nanoseconds)}) {
      h = (h ^ std::hash<std::uint64_t>{}(part)) * 0x100000001b3ULL;
    }
    return h;
  }
};

// Digests by file identity, the least recently asked dropped past the capacity.
class DigestCache {
 public:
  std::optional<std::string> find(const FileIdentity& id) {
    std::lock_guard lock(mu_);
    const auto it = index_.find(id);
    if (it == index_.end()) return std::nullopt;
    order_.splice(order_.begin(), order_, it->second);
    ++hits_;
    return it->second->second;
  }
  void countMiss() {
    std::lock_guard lock(mu_);
    ++misses_;
  }
  void insert(const FileIdentity& id, const std::string& digest) {
    std::lock_guard lock(mu_);
    if (const auto it = index_.find(id); it != index_.end()) {  // another thread read it too
      order_.splice(order_.begin(), order_, it->second);
      return;
    }
    order_.emplace_front(id, digest);
    index_.emplace(id, order_.begin());
    if (order_.size() > HashGenerator::kCacheCapacity) {
      index_.erase(order_.back().first);
      order_.pop_back();
    }
  }
  HashGenerator::CacheStatistics statistics() const {
    std::lock_guard lock(mu_);
    return {hits_, misses_, order_.size()};
  }

 private:
  using Entry = std::pair<FileIdentity, std::string>;
  mutable std::mutex mu_;
  std::list<Entry> order_;  // guarded by mu_; the most recently asked first
  std::unordered_map<FileIdentity, std::list<Entry>::iterator, FileIdentityHash>
      index_;                 // guarded by mu_; one entry per element of order_
  std::uint64_t hits_ = 0;    // guarded by mu_
  std::uint64_t misses_ = 0;  // guarded by mu_
};

// Whether the file's time had moved on when it was read from `start`. File systems stamp
// modifications with a coarse clock: a jiffy (a few milliseconds), or whole seconds where the
// nanoseconds read 0. A file read within that tick of its stamp may change again without a new
// one, so its digest would outlive its content.
bool settledBefore(const struct stat& st, const timespec& start) {
  constexpr std::int64_t kNano = 1'000'000'000;
  const std::int64_t tick = st.st_mtim.tv_nsec == 0 ? 2 * kNano : kNano / 50;
  const std::int64_t stamped =
      static_cast<std::int64_t>(st.st_mtim.tv_sec) * kNano + st.st_mtim.tv_nsec;
  return static_cast<std::int64_t>(start.tv_sec) * kNano + start.tv_nsec - stamped > tick;
}

// One per process, never destroyed: workers may still ask while the process exits.
DigestCache& digestCache() {
  static auto* cache = new DigestCache();
  return *cache;
}

}  // namespace

std::optional<std::string> HashGenerator::hashValue(const Url& url) {
  struct stat st {};
  FileDescriptor file = openRegularFile(url, st);
  if (!file) return std::nullopt;
  return digestFile(file.get());
}

std::optional<std::string> HashGenerator::cachedHashValue(const Url& url) {
  struct stat st {};
  FileDescriptor file = openRegularFile(url, st);
  if (!file) return std::nullopt;
  const FileIdentity identity = FileIdentity::of(st);
  DigestCache& cache = digestCache();
  if (auto digest = cache.find(identity)) return digest;
  cache.countMiss();
  timespec start{};
  ::clock_gettime(CLOCK_REALTIME, &start);
  const bool settled = settledBefore(st, start);
  std::optional<std::string> digest = digestFile(file.get());
  // Written to while it was read: the digest may mix two versions, so it is not kept.
  if (digest && settled && ::fstat(file.get(), &st) == 0 && FileIdentity::of(st) == identity) {
    cache.insert(identity, *digest);
  }
  return digest;
}

HashGenerator::CacheStatistics HashGenerator::cacheStatistics() {
  return digestCache().statistics();
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
