#include "BodyReader.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "lumo/platform/FileManager.h"

namespace lumo::detail {

namespace {

Error unreadableFileError(const std::string& path, const std::string& why) {
  return Error::transport(kURLErrorDomain, URLErrorCode::kFileDoesNotExist,
                          "The file \"" + path + "\" couldn't be read: " + why);
}

std::atomic<int> openBodyFiles{0};  // the places held

}  // namespace

int BodyReader::openFileBudget() {
  static const int budget = [] {
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 64;
    return static_cast<int>(std::min<rlim_t>(64, limit.rlim_cur / 4));
  }();
  return budget;
}

BodyReader::Place BodyReader::Place::take(bool always) {
  Place place;
  int held = openBodyFiles.load();
  do {
    if (!always && held >= openFileBudget()) return place;
  } while (!openBodyFiles.compare_exchange_weak(held, held + 1));
  place.held_ = true;
  return place;
}

BodyReader::Place& BodyReader::Place::operator=(Place&& other) noexcept {
  if (this != &other) {
    if (held_) openBodyFiles.fetch_sub(1);
    held_ = std::exchange(other.held_, false);
  }
  return *this;
}

BodyReader::Place::~Place() {
  if (held_) openBodyFiles.fetch_sub(1);
}

Result<std::unique_ptr<BodyReader>> BodyReader::open(HttpBody body) {
  std::unique_ptr<BodyReader> reader(new BodyReader());
  for (auto& part : body.releaseParts()) {
    Segment segment;
    if (auto* bytes = std::get_if<HttpBody::Bytes>(&part)) {
      segment.length = bytes->data.size();
      segment.bytes = std::move(bytes->data);
    } else {
      const auto& range = std::get<HttpBody::FileRange>(part);
      segment.isFile = true;
      segment.path = range.path.string();
      // While the budget has room the file stays open: what is measured now is what is sent,
      // whatever becomes of its name. A file handed over open is kept through a duplicate, a
      // descriptor this reader owns.
      if ((segment.place = Place::take(false))) {
        segment.fd =
            FileDescriptor(range.descriptor ? ::fcntl(range.descriptor->get(), F_DUPFD_CLOEXEC, 0)
                                            : ::open(range.path.c_str(), O_RDONLY | O_CLOEXEC));
        if (!segment.fd) return unreadableFileError(segment.path, errnoText(errno));
      }
      const int measured = segment.fd         ? segment.fd.get()
                           : range.descriptor ? range.descriptor->get()
                                              : -1;
      struct stat st {};
      if ((measured >= 0 ? ::fstat(measured, &st) : ::stat(segment.path.c_str(), &st)) != 0)
        return unreadableFileError(segment.path, errnoText(errno));
      if (!S_ISREG(st.st_mode)) return unreadableFileError(segment.path, "not a regular file");
      const auto fileSize = static_cast<std::uint64_t>(st.st_size);
      if (range.offset > fileSize || (range.length && *range.length > fileSize - range.offset)) {
        return unreadableFileError(segment.path, "the range lies beyond the end of the file");
      }
      segment.fileOffset = range.offset;
      segment.length = range.length.value_or(fileSize - range.offset);
    }
    reader->size_ += static_cast<std::int64_t>(segment.length);
    reader->segments_.push_back(std::move(segment));
  }
  return reader;
}

std::optional<std::size_t> BodyReader::read(char* buffer, std::size_t capacity) {
  std::size_t copied = 0;
  while (copied < capacity && segment_ < segments_.size()) {
    Segment& s = segments_[segment_];
    const std::uint64_t left = s.length - within_;
    if (left == 0) {
      ++segment_;
      within_ = 0;
      continue;
    }
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(left, capacity - copied));
    if (!s.isFile) {
      std::memcpy(buffer + copied, s.bytes.data() + within_, want);
      copied += want;
      within_ += want;
      continue;
    }
    if (!s.fd) {
      // Measured beyond the budget: opened now, counted, but never kept waiting for a place.
      s.fd = FileDescriptor(::open(s.path.c_str(), O_RDONLY | O_CLOEXEC));
      if (!s.fd) {
        failure_ = "the file \"" + s.path + "\" couldn't be opened: " + errnoText(errno);
        return std::nullopt;
      }
      s.place = Place::take(true);
    }
    const ssize_t n =
        ::pread(s.fd.get(), buffer + copied, want, static_cast<off_t>(s.fileOffset + within_));
    if (n < 0) {
      if (errno == EINTR) continue;
      failure_ = "reading \"" + s.path + "\" failed: " + errnoText(errno);
      return std::nullopt;
    }
    if (n == 0) {
      failure_ = "the file \"" + s.path + "\" became shorter while it was sent";
      return std::nullopt;
    }
    copied += static_cast<std::size_t>(n);
    within_ += static_cast<std::uint64_t>(n);
    // Hand over what a file read gave; the next call continues.
    break;
  }
  return copied;
}

bool BodyReader::seek(std::uint64_t offset) {
  if (offset > static_cast<std::uint64_t>(size_)) return false;
  segment_ = 0;
  within_ = 0;
  while (segment_ < segments_.size() && offset >= segments_[segment_].length) {
    offset -= segments_[segment_].length;
    ++segment_;
  }
  within_ = offset;
  return true;
}

}  // namespace lumo::detail
