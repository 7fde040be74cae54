#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace lumo::cli {

// Where the service lives: the API base and the share-link base. Read from
// $XDG_CONFIG_HOME/lumo/config.json (default ~/.config/lumo/config.json), each overridden by
// LUMO_API_BASE and LUMO_SHARE_BASE.
//
//   {"api_base": "https://api.example.com", "share_base": "https://cdn.example.com"}
struct Config {
  struct Value {
    std::string value;
    std::string source;  // "environment", "config file" or "" when unset
    std::string origin;  // where exactly: "LUMO_API_BASE", the config file's path
  };
  Value apiBase;
  Value shareBase;

  static std::filesystem::path file();
  static Config load();
  // Writes one key ("api-base" or "share-base") to the file; the reason on failure.
  static std::optional<std::string> set(const std::string& key, const std::string& value);

  // What to set when an address is missing; nullopt when both are there.
  std::optional<std::string> missing() const;
  // The first address that is set but is not an http(s) address, named with where it came
  // from; nullopt when every address set is valid.
  std::optional<std::string> invalid() const;

  // Why `value` cannot be a service address; nullopt when it can.
  static std::optional<std::string> whyNotAnAddress(const std::string& value);
};

}  // namespace lumo::cli
