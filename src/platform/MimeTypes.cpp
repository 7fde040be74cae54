#include "lumo/platform/MimeTypes.h"

#include <algorithm>
#include <array>
#include <fstream>
#include <sstream>
#include <utility>
#include <vector>

namespace lumo {
namespace {

std::string lowercased(std::string_view text) {
  std::string result(text);
  for (char& c : result) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return result;
}

// The types the product writes itself; answered without consulting the system's files so that
// uploads are labelled the same on every machine.
constexpr std::array<std::pair<std::string_view, std::string_view>, 8> kBuiltIn = {{
    {"png", "image/png"},
    {"jpeg", "image/jpeg"},
    {"jpg", "image/jpeg"},
    {"gif", "image/gif"},
    {"mp4", "video/mp4"},
    {"mov", "video/quicktime"},
    {"html", "text/html"},
    {"htm", "text/html"},
}};

// A glob of the form "*.ext" with no further wildcard; returns "ext" or nullopt.
std::optional<std::string_view> simpleExtension(std::string_view glob) {
  if (glob.size() < 3 || glob.substr(0, 2) != "*.") return std::nullopt;
  std::string_view ext = glob.substr(2);
  if (ext.find_first_of("*?[]\\") != std::string_view::npos) return std::nullopt;
  return ext;
}

}  // namespace

MimeTypes::MimeTypes(const Sources& sources) {
  readGlobs2(sources.globs2);
  readMimeTypes(sources.mimeTypes);
}

const MimeTypes& MimeTypes::system() {
  static const MimeTypes* registry = new MimeTypes(Sources{});
  return *registry;
}

void MimeTypes::readGlobs2(const std::filesystem::path& path) {
  // Lines are "weight:type:glob[:flags[:...]]"; the file is sorted by weight, but a later
  // heavier line is honoured as well.
  std::ifstream file(path);
  std::string line;
  while (std::getline(file, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> fields;
    std::stringstream stream(line);
    for (std::string field; std::getline(stream, field, ':');) fields.push_back(field);
    if (fields.size() < 3 || fields[1].empty()) continue;
    int weight = 0;
    try {
      weight = std::stoi(fields[0]);
    } catch (...) {
      continue;
    }
    auto ext = simpleExtension(fields[2]);
    if (!ext) continue;
    bool caseSensitive = false;
    if (fields.size() > 3) {
      std::stringstream flags(fields[3]);
      for (std::string flag; std::getline(flags, flag, ',');) caseSensitive |= flag == "cs";
    }
    auto& table = caseSensitive ? caseSensitiveGlobs_ : caseInsensitiveGlobs_;
    std::string key = caseSensitive ? std::string(*ext) : lowercased(*ext);
    auto it = table.find(key);
    if (it == table.end()) {
      table.emplace(std::move(key), Glob{weight, fields[1]});
    } else if (weight > it->second.weight) {
      it->second = Glob{weight, fields[1]};
    }
  }
}

void MimeTypes::readMimeTypes(const std::filesystem::path& path) {
  // Lines are "type ext ext ..."; the first mention of an extension wins.
  std::ifstream file(path);
  std::string line;
  while (std::getline(file, line)) {
    if (auto hash = line.find('#'); hash != std::string::npos) line.resize(hash);
    std::stringstream stream(line);
    std::string type;
    if (!(stream >> type) || type.find('/') == std::string::npos) continue;
    for (std::string ext; stream >> ext;) mimeTypesFile_.emplace(lowercased(ext), type);
  }
}

std::optional<std::string> MimeTypes::mimeType(std::string_view extension) const {
  if (extension.empty()) return std::nullopt;
  const std::string lower = lowercased(extension);
  for (const auto& [ext, type] : kBuiltIn) {
    if (ext == lower) return std::string(type);
  }

  const Glob* exact = nullptr;
  if (auto it = caseSensitiveGlobs_.find(extension); it != caseSensitiveGlobs_.end()) {
    exact = &it->second;
  }
  const Glob* folded = nullptr;
  if (auto it = caseInsensitiveGlobs_.find(lower); it != caseInsensitiveGlobs_.end()) {
    folded = &it->second;
  }
  if (exact && (!folded || exact->weight >= folded->weight)) return exact->mimeType;
  if (folded) return folded->mimeType;

  if (auto it = mimeTypesFile_.find(lower); it != mimeTypesFile_.end()) return it->second;
  return std::nullopt;
}

}  // namespace lumo
