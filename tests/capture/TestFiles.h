#pragma once

// Real folders, files and commands for the tests of the capture model, storage and the
// platform's file and media components.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>

namespace lumo::testing_files {

namespace fs = std::filesystem;

// A fresh folder, removed with everything in it at the end of the test.
class TempDir {
 public:
  explicit TempDir(const fs::path& parent = fs::temp_directory_path()) {
    std::string pattern = (parent / "lumo-test-XXXXXX").native();
    if (::mkdtemp(pattern.data())) path_ = pattern;
  }
  TempDir(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }
  fs::path operator/(const std::string& name) const { return path_ / name; }

 private:
  fs::path path_;
};

inline void writeFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Sets both times of `path` (of a link itself, not its target).
inline void setModificationTime(const fs::path& path, time_t seconds, long nanoseconds = 0) {
  struct timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

inline std::string shellQuote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// Runs a shell command and returns its standard output; a non-zero exit fails the test.
inline std::string run(const std::string& command) {
  std::string output;
  FILE* pipe = ::popen(command.c_str(), "r");
  char buffer[4096];
  for (size_t n; pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
    output.append(buffer, n);
  }
  EXPECT_EQ(pipe ? ::pclose(pipe) : -1, 0) << command << "\n" << output;
  return output;
}

// Whether `text` has the shape `pattern`: "#" is one decimal digit, "*" one or more digits,
// "H" one upper-case hexadecimal digit, "?" any one character; everything else stands for
// itself.
inline bool matchesShape(std::string_view text, std::string_view pattern) {
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  size_t t = 0;
  for (char p : pattern) {
    if (p == '*') {
      if (t >= text.size() || !digit(text[t])) return false;
      while (t < text.size() && digit(text[t])) ++t;
      continue;
    }
    if (t >= text.size()) return false;
    const char c = text[t++];
    if (p == '#'   ? !digit(c)
        : p == 'H' ? !digit(c) && !(c >= 'A' && c <= 'F')
                   : p != '?' && p != c) {
      return false;
    }
  }
  return t == text.size();
}

// Sets (or, with nullopt, clears) an environment variable for the lifetime of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    set(value);
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ~ScopedEnv() { set(old_); }

 private:
  void set(const std::optional<std::string>& value) {
    value ? ::setenv(name_, value->c_str(), 1) : ::unsetenv(name_);
  }
  const char* name_;
  std::optional<std::string> old_;
};

}  // namespace lumo::testing_files
