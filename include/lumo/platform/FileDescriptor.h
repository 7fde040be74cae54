#pragma once

#include <unistd.h>

#include <utility>

#include "lumo/Export.h"

namespace lumo {

// An open file descriptor, closed when its owner goes. Move-only.
//
//   FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
//   if (!fd) return fileError(errno, path, action);
//   ::read(fd.get(), buffer, size);
//   if (!fd.close()) return fileError(errno, path, action);  // close may report a failed write
class LUMO_API FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { reset(); }

  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }

  // Gives the descriptor up without closing it.
  int release() noexcept { return std::exchange(fd_, -1); }

  // Closes the descriptor held, if any, and holds `fd` instead.
  void reset(int fd = -1) noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

  // Closes now. False, with errno set, when the close failed: on some file systems that is
  // where a failed write shows.
  bool close() noexcept {
    const int fd = release();
    return fd < 0 || ::close(fd) == 0;
  }

 private:
  int fd_ = -1;
};

}  // namespace lumo
