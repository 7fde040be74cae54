#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "lumo/platform/FileDescriptor.h"
#include "lumo/platform/HttpBody.h"
#include "lumo/support/Result.h"

namespace lumo::detail {

// The sending side of an `HttpBody`: its total size known, read in order and rewound when
// libcurl has to send the body again (a redirect, an authentication retry). Used by one
// transfer on the network thread at a time.
//
// Bodies wait in their session until a connection is free, so the files they hold open are
// bounded: at most `openFileBudget()` in the process ahead of their transfers. A file measured
// while the budget has room stays open until the reader goes; one measured beyond it is closed
// and opened again by its path when the transfer reaches it, whatever the budget then.
class BodyReader {
 public:
  // Measures every file of `body`, through its descriptor when it was handed over open.
  // Fails with NSURLErrorDomain -1100 naming a file that cannot be opened or measured, or whose
  // range lies beyond its end.
  static Result<std::unique_ptr<BodyReader>> open(HttpBody body);
  // 64, or a quarter of the process's descriptor limit when that is lower.
  static int openFileBudget();

  std::int64_t size() const { return size_; }

  // Copies up to `capacity` bytes from the current position and advances; 0 at the end.
  // nullopt when a file could not be opened or read or ended early; `failure()` says why.
  std::optional<std::size_t> read(char* buffer, std::size_t capacity);
  // Moves to `offset` from the start; false when it lies beyond the end.
  bool seek(std::uint64_t offset);
  const std::string& failure() const { return failure_; }

 private:
  // One open file counted against the budget, from its opening to its closing. Move-only.
  class Place {
   public:
    // A place if the budget has one; with `always`, one even beyond it.
    static Place take(bool always);
    Place() = default;
    Place(Place&& other) noexcept : held_(std::exchange(other.held_, false)) {}
    Place& operator=(Place&& other) noexcept;
    ~Place();
    explicit operator bool() const { return held_; }

   private:
    bool held_ = false;
  };

  struct Segment {
    std::vector<std::uint8_t> bytes;  // a bytes part
    bool isFile = false;
    Place place;        // held while `fd` is open; declared first, so released after the close
    FileDescriptor fd;  // a file part, while open
    std::string path;   // the file's path: for messages, and to open it late
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
