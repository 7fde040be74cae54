#include "Output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace lumo::cli {

Output& Output::takeStandardOutput() {
  static Output* output = [] {
    ::fflush(stdout);
    int fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (fd < 0)
      fd = STDOUT_FILENO;  // no descriptor to spare: results and log share it
    else
      ::dup2(STDERR_FILENO, STDOUT_FILENO);
    return new Output(fd);
  }();
  return *output;
}

void Output::emit(const nlohmann::json& object, const std::string& text) {
  if (json_) {
    write(object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
  } else if (!text.empty()) {
    write(text + "\n");
  }
}

void Output::raw(const std::string& text) {
  write(text);
}

void Output::write(const std::string& text) {
  std::lock_guard lock(mu_);
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int expected = 0;
      writeError_.compare_exchange_strong(expected, n < 0 ? errno : EIO);
      return;
    }
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace lumo::cli
