#pragma once

// Figures of one benchmark run, written as the JSON list that scripts/bench renders:
//   [{"figure": ..., "unit": ..., "ours": ..., "peer": ... or null,
//     "ratio": ours/peer or null, "better": "lower" or "higher"}, ...]
// The file is $LUMO_BENCH_JSON when set (scripts/bench sets it), else nothing is written.

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace lumo::bench {

class Report {
 public:
  // Adds one figure. `peer` is the standard tool's value for the same figure, when it has one.
  void add(std::string figure, std::string unit, double ours, std::optional<double> peer,
           bool lowerIsBetter, nlohmann::json extra = nlohmann::json::object()) {
    nlohmann::json f = std::move(extra);
    f["figure"] = std::move(figure);
    f["unit"] = std::move(unit);
    f["ours"] = ours;
    f["peer"] = peer ? nlohmann::json(*peer) : nlohmann::json(nullptr);
    f["ratio"] = (peer && *peer != 0) ? nlohmann::json(ours / *peer) : nlohmann::json(nullptr);
    f["better"] = lowerIsBetter ? "lower" : "higher";
    figures_.push_back(std::move(f));
  }

  // Writes the figures to $LUMO_BENCH_JSON; returns false when writing failed.
  bool write() const {
    const char* path = std::getenv("LUMO_BENCH_JSON");
    if (!path || !*path) return true;
    std::ofstream out(path);
    out << nlohmann::json(figures_).dump(2) << '\n';
    return static_cast<bool>(out);
  }

 private:
  std::vector<nlohmann::json> figures_;
};

// Gives `file` a new modification time, a minute ago as for a capture that has ended: the
// next share digests it again instead of taking the digest kept for the file as it was.
inline bool touch(const std::filesystem::path& file) {
  static long tick = 0;  // a nanosecond more each time: never the same time twice
  const timespec times[2] = {{0, UTIME_OMIT}, {std::time(nullptr) - 60, ++tick}};
  return ::utimensat(AT_FDCWD, file.c_str(), times, 0) == 0;
}

}  // namespace lumo::bench
