#pragma once

#include <atomic>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

namespace lumo::cli {

// The program's results. Standard output is for them alone: at start-up the real standard output
// is kept on a private descriptor and descriptor 1 is pointed at standard error, so that the
// library's own lines (its log, file-level messages) never mix with results.
//
// In text mode each result is a line of text; with `--json` each event and result is one JSON
// object per line. Safe from any thread: lines are written whole.
class Output {
 public:
  // Moves standard output aside (see above) and writes results to it.
  static Output& takeStandardOutput();

  bool json() const { return json_; }
  void setJson(bool json) { json_ = json; }

  // A result or an event: `object` in JSON mode, `text` (when not empty) otherwise.
  void emit(const nlohmann::json& object, const std::string& text);
  // Text as it is (help texts), in either mode.
  void raw(const std::string& text);
  // The error of the first write that failed (a full disk, a closed pipe); 0 when none did.
  int writeError() const { return writeError_.load(); }

 private:
  explicit Output(int fd) : fd_(fd) {}
  void write(const std::string& text);

  const int fd_;
  bool json_ = false;
  std::mutex mu_;  // serialises writes
  std::atomic<int> writeError_{0};
};

}  // namespace lumo::cli
