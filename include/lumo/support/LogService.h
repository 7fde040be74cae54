#pragma once

#include <any>
#include <map>
#include <optional>
#include <string>

#include "lumo/Export.h"
#include "lumo/support/Error.h"

namespace lumo {

// The information map of a log line: its description is written after the message, as
// ["key": value, ...] (see docs/conventions.md for how values render).
using LogInfo = std::map<std::string, std::any>;

// The library's one logging interface. Obtain it with `Injected<LogService> _logService;`.
//
//   _logService->debug("Current tasks count = " + std::to_string(count));
//   _logService->error(error, LogInfo{{"API call", endpoint}});
//   _logService->info("Profile updated", /*showInReleaseMode=*/true, std::nullopt);
//
// Every line is silent outside debug builds unless `showInReleaseMode` is true. The short forms
// (not overridable) forward with `showInReleaseMode` false. An implementation adds
// `using LogService::info; using LogService::error; using LogService::debug;` to keep them
// visible.
class LUMO_API LogService {
 public:
  virtual ~LogService() = default;

  // "❤️ " + the error's description + ", " + the info map.
  virtual void error(const Error& error, const std::optional<LogInfo>& info, bool showInReleaseMode,
                     bool sendToRollbar) = 0;
  // "❤️ Error!. " + message; debug builds only.
  virtual void error(const std::string& message) = 0;
  // "💛 " + message + ", " + the info map.
  virtual void info(const std::string& message, bool showInReleaseMode,
                    const std::optional<LogInfo>& info) = 0;
  // The message alone.
  virtual void debug(const std::string& message, bool showInReleaseMode) = 0;

  void info(const std::string& message) { info(message, false, std::nullopt); }
  void info(const std::string& message, const LogInfo& info) { this->info(message, false, info); }
  void error(const Error& error) { this->error(error, std::nullopt, false, false); }
  void error(const Error& error, const LogInfo& info) { this->error(error, info, false, false); }
  void debug(const std::string& message) { debug(message, false); }
};

}  // namespace lumo
