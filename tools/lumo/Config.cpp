#include "Config.h"

#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>

#include "lumo/platform/Url.h"

namespace lumo::cli {
namespace {

nlohmann::json readFile() {
  std::ifstream in(Config::file());
  if (!in) return nlohmann::json::object();
  auto json = nlohmann::json::parse(in, nullptr, false);
  return json.is_object() ? json : nlohmann::json::object();
}

Config::Value pick(const nlohmann::json& file, const char* key, const char* variable) {
  if (const char* value = std::getenv(variable); value && *value) {
    return {value, "environment", variable};
  }
  if (file.contains(key) && file[key].is_string() && !file[key].get<std::string>().empty()) {
    return {file[key].get<std::string>(), "config file", Config::file().string()};
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
  if (auto why = whyNotAnAddress(value)) return key + ": " + *why;
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

std::optional<std::string> Config::whyNotAnAddress(const std::string& value) {
  const std::string example = " (e.g. https://api.example.com)";
  if (value.empty()) return "an empty address is not an address" + example;
  if (value.rfind("http://", 0) != 0 && value.rfind("https://", 0) != 0) {
    return "\"" + value + "\" does not start with http:// or https://" + example;
  }
  const auto url = Url::parse(value);
  if (!url || url->host().empty() || value.find_first_of(" \t") != std::string::npos) {
    return "\"" + value + "\" is not a valid address" + example;
  }
  return std::nullopt;
}

std::optional<std::string> Config::invalid() const {
  for (const auto& [name, setting] :
       {std::pair{"api-base", &apiBase}, {"share-base", &shareBase}}) {
    if (setting->value.empty()) continue;
    if (auto why = whyNotAnAddress(setting->value)) {
      return std::string(name) + " from " + setting->origin + ": " + *why;
    }
  }
  return std::nullopt;
}

}  // namespace lumo::cli
