#pragma once

#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>

// What the fuzz targets share: a check that stops the run as a crash libFuzzer saves, and a
// scratch folder of this process (parallel jobs each get their own).

#define LUMO_FUZZ_CHECK(condition, message)                                                      \
  do {                                                                                           \
    if (!(condition)) {                                                                          \
      std::fprintf(stderr, "%s:%d: invariant failed: %s (%s)\n", __FILE__, __LINE__, #condition, \
                   std::string(message).c_str());                                                \
      std::abort();                                                                              \
    }                                                                                            \
  } while (false)

namespace lumo::fuzz {

// A folder of this process under the system's temporary folder, removed at exit.
inline const std::filesystem::path& scratchFolder() {
  static const std::filesystem::path folder = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "lumo-fuzz-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(scratchFolder(), ec);
    });
    return std::filesystem::path(pattern);
  }();
  return folder;
}

inline void writeFile(const std::filesystem::path& path, std::string_view bytes) {
  if (!(std::ofstream(path, std::ios::binary) << bytes)) std::abort();
}

inline std::string_view asText(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

}  // namespace lumo::fuzz
