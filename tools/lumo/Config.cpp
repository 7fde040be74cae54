#include "Config.h"

#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>

namespace lumo::cli {
namespace {

nlohmann::json readFile() {
  std::ifstream in(Config::file());
  if (!in) return nlohmann::json::object();
  auto json = nlohmann::json::parse(in, nullptr, false);
  return json.is_object() ? json : nlohmann::json::object();
}

Config::Value pick(const nlohmann::json& file, const char* key, const char* variable) {
  if (const char* value = std::getenv(variable); value && *value) return {value, "environment"};
  if (file.contains(key) && file[key].is_string() && !file[key].get<std::string>().empty()) {
    return {file[key].get<std::string>(), "config file"};
  }
  return {};
}

}  // namespace

std::filesystem::path Config::file() {
  std::filesystem::path folder;
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config) {
    folder = config;
  } else if (const char* home = std::getenv("HOME"); home && *home) {
    folder = std::filesystem::path(home) / ".config";
  } else {
    folder = ".config";
  }
  return folder / "lumo" / "config.json";
}

Config Config::load() {
  const auto json = readFile();
  return Config{pick(json, "api_base", "LUMO_API_BASE"),
                pick(json, "share_base", "LUMO_SHARE_BASE")};
}

std::optional<std::string> Config::set(const std::string& key, const std::string& value) {
  std::string field;
  if (key == "api-base")
    field = "api_base";
  else if (key == "share-base")
    field = "share_base";
  else
    return "unknown key '" + key + "' (use api-base or share-base)";
  auto json = readFile();
  json[field] = value;
  std::error_code ec;
  std::filesystem::create_directories(file().parent_path(), ec);
  const auto temporary = file().string() + ".tmp";
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << json.dump(2) << "\n";
    if (!out) return "cannot write " + temporary;
  }
  std::filesystem::rename(temporary, file(), ec);
  if (ec) return "cannot write " + file().string() + ": " + ec.message();
  return std::nullopt;
}

std::optional<std::string> Config::missing() const {
  std::string names;
  if (apiBase.value.empty()) names = "LUMO_API_BASE";
  if (shareBase.value.empty())
    names += std::string(names.empty() ? "" : " and ") + "LUMO_SHARE_BASE";
  if (names.empty()) return std::nullopt;
  return "the service address is not configured: set " + names +
         " (or run `lumo config set api-base URL` and `lumo config set share-base URL`); the "
         "library's built-in addresses are placeholders that never resolve";
}

}  // namespace lumo::cli
