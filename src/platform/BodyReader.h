#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "lumo/platform/FileDescriptor.h"
#include "lumo/platform/HttpBody.h"
#include "lumo/support/Result.h"

namespace lumo::detail {

// The sending side of an `HttpBody`: its files opened, its total size known, read in order
// and rewound when libcurl has to send the body again (a redirect, an authentication retry).
// Used by one transfer on the network thread at a time.
class BodyReader {
 public:
  // Opens every file of `body` that is not open yet. Fails with NSURLErrorDomain -1100 naming
  // a file that cannot be opened, or whose range lies beyond its end.
  static Result<std::unique_ptr<BodyReader>> open(HttpBody body);

  std::int64_t size() const { return size_; }

  // Copies up to `capacity` bytes from the current position and advances; 0 at the end.
  // nullopt when a file could not be read or ended early; `failure()` says why.
  std::optional<std::size_t> read(char* buffer, std::size_t capacity);
  // Moves to `offset` from the start; false when it lies beyond the end.
  bool seek(std::uint64_t offset);
  const std::string& failure() const { return failure_; }

 private:
  struct Segment {
    std::vector<std::uint8_t> bytes;  // a bytes part
    FileDescriptor fd;                // a file part
    std::string path;                 // the file's path, for messages
    std::uint64_t fileOffset = 0;
    std::uint64_t length = 0;
  };

  BodyReader() = default;

  std::vector<Segment> segments_;
  std::int64_t size_ = 0;
  std::size_t segment_ = 0;   // current segment
  std::uint64_t within_ = 0;  // position in the current segment
  std::string failure_;
};

}  // namespace lumo::detail
