#pragma once

// The host the sharing benchmarks play: quiet logs and the library's own services, registered
// once for the process as an application registers them. Each benchmark adds its pasteboard,
// thumbnails and notifications.

#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>

#include "lumo/account/UserAccountStore.h"
#include "lumo/account/UserAccountStoreService.h"
#include "lumo/api/APISettings.h"
#include "lumo/api/APISettingsService.h"
#include "lumo/capture/ScreenCaptureHelper.h"
#include "lumo/capture/ScreenCaptureHelperService.h"
#include "lumo/registry/Resolver.h"
#include "lumo/sharing/EnvironmentHelperService.h"
#include "lumo/sharing/ShareManager.h"
#include "lumo/sharing/ShareService.h"
#include "lumo/sharing/ShareStatesManager.h"
#include "lumo/sharing/ShareStatesService.h"
#include "lumo/sharing/ShareURLHelper.h"
#include "lumo/sharing/ShareURLHelperService.h"
#include "lumo/storage/DirectoriesManager.h"
#include "lumo/storage/DirectoriesService.h"
#include "lumo/storage/LocalFilesManager.h"
#include "lumo/storage/LocalFilesService.h"
#include "lumo/support/Log.h"
#include "lumo/support/LogService.h"

namespace lumo::bench {

// A private folder for the process, made as a host's would be: its XDG config, data and cache
// folders point into it, with the library's internal folder made, and "Documents" is there for
// the captures. Empty when it cannot be made.
inline std::filesystem::path makeHostFolder(const std::string& name) {
  namespace fs = std::filesystem;
  std::string pattern = (fs::temp_directory_path() / (name + "-XXXXXX")).string();
  if (!::mkdtemp(pattern.data())) return {};
  const fs::path folder = pattern;
  for (const char* sub : {"config", "data/lumo", "cache", "Documents"}) {
    fs::create_directories(folder / sub);
  }
  ::setenv("XDG_CONFIG_HOME", (folder / "config").c_str(), 1);
  ::setenv("XDG_DATA_HOME", (folder / "data").c_str(), 1);
  ::setenv("XDG_CACHE_HOME", (folder / "cache").c_str(), 1);
  return folder;
}

// A release host: the library's debug lines stay off, as they would for users.
class QuietEnvironment : public EnvironmentHelperService {
 public:
  bool isDebug() const override { return false; }
};

// `Impl` as the one `Service` of the application.
template <class Service, class Impl>
void registerOne() {
  Resolver::registerInMain<Service>([] {
    return std::make_shared<Impl>();
  }).scope(Resolver::application());
}

// Every service a share needs apart from the pasteboard, thumbnails and notifications.
inline void registerSharingServices() {
  Resolver::registerInMain<EnvironmentHelperService>(
      [] { return std::make_shared<QuietEnvironment>(); });
  registerOne<LogService, Log>();
  registerOne<DirectoriesService, DirectoriesManager>();
  registerOne<LocalFilesService, LocalFilesManager>();
  registerOne<UserAccountStoreService, UserAccountStore>();
  registerOne<APISettingsService, APISettings>();
  registerOne<ShareURLHelperService, ShareURLHelper>();
  registerOne<ScreenCaptureHelperService, ScreenCaptureHelper>();
  registerOne<ShareStatesService, ShareStatesManager>();
  registerOne<ShareService, ShareManager>();
}

}  // namespace lumo::bench
