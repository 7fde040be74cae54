#pragma once

// Real folders, files and commands for the suites that work on the file system.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <regex>
#include <string>

namespace lumo::testing_files {

namespace fs = std::filesystem;

// A fresh folder under `parent`, or "" when it could not be made; the caller removes it.
inline std::string makeTempDir(const std::string& prefix,
                               const fs::path& parent = fs::temp_directory_path()) {
  std::string made = (parent / (prefix + "-XXXXXX")).native();
  return ::mkdtemp(made.data()) ? made : std::string();
}

// A fresh folder, removed with everything in it at the end of the test; `path()` is empty when
// it could not be made.
class TempDir {
 public:
  explicit TempDir(const fs::path& parent = fs::temp_directory_path())
      : path_(makeTempDir("lumo-test", parent)) {}
  TempDir(const TempDir&) = delete;
  ~TempDir() { fs::remove_all(path_, ec_); }
  const fs::path& path() const { return path_; }
  fs::path operator/(const std::string& name) const { return path_ / name; }

 private:
  fs::path path_;
  std::error_code ec_;
};

// Writes `bytes` to `path`, making its folders.
inline void writeFile(const fs::path& path, const std::string& bytes) {
  std::error_code ec;
  fs::create_directories(path.parent_path(), ec);
  std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Sets both times of `path` (of a link itself, not its target).
inline void setModificationTime(const fs::path& path, time_t seconds, long nanoseconds = 0) {
  const struct timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

inline std::string shellQuote(const std::string& text) {
  return "'" + std::regex_replace(text, std::regex("'"), "'\\''") + "'";
}

// Runs a shell command and returns its standard output; a non-zero exit fails the test.
inline std::string run(const std::string& command) {
  std::string output;
  FILE* pipe = ::popen(command.c_str(), "r");
  for (int c; pipe && (c = std::fgetc(pipe)) != EOF;) output += static_cast<char>(c);
  EXPECT_EQ(pipe ? ::pclose(pipe) : -1, 0) << command << "\n" << output;
  return output;
}

// Whether `text` has the shape `pattern`: "#" is one decimal digit, "*" one or more digits,
// "H" one upper-case hexadecimal digit, "?" any one character; any other character stands for
// itself.
inline bool matchesShape(const std::string& text, std::string_view pattern) {
  std::string regex;
  for (const char p : pattern) {
    regex += p == '#'                                      ? "[0-9]"
             : p == '*'                                    ? "[0-9]+"
             : p == 'H'                                    ? "[0-9A-F]"
             : p == '?'                                    ? "[\\s\\S]"
             : std::isalnum(static_cast<unsigned char>(p)) ? std::string(1, p)
                                                           : std::string("\\") + p;
  }
  return std::regex_match(text, std::regex(regex));
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
  void set(const std::optional<std::string>& v) {
    v ? ::setenv(name_, v->c_str(), 1) : ::unsetenv(name_);
  }
  const char* name_;
  std::optional<std::string> old_;
};

}  // namespace lumo::testing_files
