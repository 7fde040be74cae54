#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>
#include <variant>
#include <vector>

#include "lumo/Export.h"
#include "lumo/platform/FileDescriptor.h"

namespace lumo {

// The body of an upload, streamed from its parts in order: bytes held in memory and ranges
// of files read from disk while the request is sent. Its total size is known before the
// transfer starts, so the request carries a Content-Length (storage servers refuse chunked
// posts).
//
//   // A multipart form: the fields, the file, the closing boundary.
//   HttpBody body;
//   body.appendBytes(formPrefix).appendFile(videoPath).appendBytes(formSuffix);
//   session->uploadTask(request, std::move(body), completion)->resume();
//
// Files are opened and measured when the upload task is made; a file that cannot be then makes
// the task fail when it is resumed. A caller that has the file open already hands its
// descriptor over instead: what it measured is then what is sent, even if the name goes
// meanwhile. Tasks waiting for a connection keep at most 64 files open in the process: beyond
// that a file is measured, closed, and opened again by its path when its transfer reaches it,
// and one gone by then fails the transfer. A file that shrinks while it is sent fails it too.
class LUMO_API HttpBody {
 public:
  struct Bytes {
    std::vector<std::uint8_t> data;
  };
  struct FileRange {
    std::filesystem::path path;
    std::uint64_t offset = 0;
    std::optional<std::uint64_t> length;  // to the end of the file when absent
    // The file, already open: read instead of opening `path`, which then only names it. Copies
    // of a body share it; every transfer reads through a duplicate of its own.
    std::shared_ptr<const FileDescriptor> descriptor;
  };
  using Part = std::variant<Bytes, FileRange>;

  HttpBody() = default;

  // A body of `data`.
  static HttpBody bytes(std::vector<std::uint8_t> data) {
    HttpBody body;
    body.appendBytes(std::move(data));
    return body;
  }
  // A body streamed from the whole file at `path`.
  static HttpBody file(std::filesystem::path path) {
    HttpBody body;
    body.appendFile(std::move(path));
    return body;
  }

  HttpBody& appendBytes(std::vector<std::uint8_t> data) {
    parts_.emplace_back(Bytes{std::move(data)});
    return *this;
  }
  HttpBody& appendBytes(std::string_view text) {
    return appendBytes(std::vector<std::uint8_t>(text.begin(), text.end()));
  }
  // Appends `length` bytes of the file at `path` from `offset` (the rest of the file when
  // `length` is absent).
  HttpBody& appendFile(std::filesystem::path path, std::uint64_t offset = 0,
                       std::optional<std::uint64_t> length = std::nullopt) {
    parts_.emplace_back(FileRange{std::move(path), offset, length, {}});
    return *this;
  }
  // The same, read through `descriptor`, the file at `path` opened for reading.
  HttpBody& appendFile(FileDescriptor descriptor, std::filesystem::path path,
                       std::uint64_t offset = 0,
                       std::optional<std::uint64_t> length = std::nullopt) {
    parts_.emplace_back(FileRange{std::move(path), offset, length,
                                  std::make_shared<const FileDescriptor>(std::move(descriptor))});
    return *this;
  }

  const std::vector<Part>& parts() const { return parts_; }
  // Moves the parts out, leaving the body empty.
  std::vector<Part> releaseParts() { return std::move(parts_); }

 private:
  std::vector<Part> parts_;
};

}  // namespace lumo
