#pragma once

#include <optional>
#include <string>

#include "lumo/Export.h"
#include "lumo/registry/Injected.h"
#include "lumo/sharing/EnvironmentHelperService.h"
#include "lumo/support/LogService.h"

namespace lumo {

// The library's `LogService`: one line per call on standard output, written whole in one write.
//
//   Resolver::registerInMain<LogService>([] { return std::make_shared<Log>(); })
//       .scope(Resolver::application());
//
// A line is shown when the call asks for release mode, or when the host's
// `EnvironmentHelperService` (resolved when the Log is constructed, so it must be registered
// first) says the build is a debug build; the host is asked on every call that does not ask for
// release mode, and only then. Log keeps no state and takes no lock: any thread may log.
class LUMO_API Log : public LogService {
 public:
  Log();

  using LogService::debug;
  using LogService::error;
  using LogService::info;

  void error(const Error& error, const std::optional<LogInfo>& info, bool showInReleaseMode,
             bool sendToRollbar) override;
  void error(const std::string& message) override;
  void info(const std::string& message, bool showInReleaseMode,
            const std::optional<LogInfo>& info) override;
  void debug(const std::string& message, bool showInReleaseMode) override;

  // The description of an info map: [:] when empty, else ["key": value, ...].
  static std::string describe(const LogInfo& info);

 private:
  bool shown(bool showInReleaseMode) const;

  Injected<EnvironmentHelperService> _environmentHelperService;
};

}  // namespace lumo
