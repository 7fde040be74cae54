// The smallest host of LumoShared: registers the services, shares one file, waits for the end.
//
//   LUMO_API_BASE=... LUMO_SHARE_BASE=... lumo_host_example TOKEN FILE

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "lumo/account/UserAccountStore.h"
#include "lumo/api/APISettings.h"
#include "lumo/capture/ScreenCaptureHelper.h"
#include "lumo/registry/Resolver.h"
#include "lumo/sharing/EnvironmentHelperService.h"
#include "lumo/sharing/PasteboardManager.h"
#include "lumo/sharing/ShareManager.h"
#include "lumo/sharing/ShareStatesManager.h"
#include "lumo/sharing/ShareStatesServiceDelegate.h"
#include "lumo/sharing/ShareURLHelper.h"
#include "lumo/storage/DirectoriesManager.h"
#include "lumo/storage/LocalFilesManager.h"
#include "lumo/support/DispatchQueue.h"
#include "lumo/support/Log.h"

using namespace lumo;

// The host's own services; alerts, notifications, progress and thumbnails are optional.
struct ReleaseBuild : EnvironmentHelperService {
  bool isDebug() const override { return false; }
};

// Watches the states store: the upload has ended once the state is final.
struct Watcher : ShareStatesServiceDelegate {
  std::atomic<bool> done{false};
  void screenCaptureStateChanged(const ScreenCapture&, ShareState state) override {
    std::printf("state: %s\n", std::string(rawValue(state)).c_str());
    done = state == ShareState::uploaded || state == ShareState::error ||
           state == ShareState::cancelled;
  }
  void screenCaptureProgressChanged(const ScreenCapture&, std::int64_t, double) override {}
};

template <class Service, class Implementation>
void registerShared() {
  Resolver::registerInMain<Service>([] {
    return std::make_shared<Implementation>();
  }).scope(Resolver::application());
}

int main(int argc, char** argv) {
  if (argc != 3 || !std::getenv("LUMO_API_BASE") || !std::getenv("LUMO_SHARE_BASE")) {
    std::fprintf(stderr, "usage: LUMO_API_BASE=... LUMO_SHARE_BASE=... %s TOKEN FILE\n", argv[0]);
    return 2;
  }
  APISettings::setServiceAddresses({std::getenv("LUMO_API_BASE"), std::getenv("LUMO_SHARE_BASE")});

  registerShared<EnvironmentHelperService, ReleaseBuild>();  // before the log, which asks it
  registerShared<LogService, Log>();
  registerShared<DirectoriesService, DirectoriesManager>();
  registerShared<LocalFilesService, LocalFilesManager>();
  registerShared<UserAccountStoreService, UserAccountStore>();
  registerShared<APISettingsService, APISettings>();
  registerShared<ShareURLHelperService, ShareURLHelper>();
  registerShared<ScreenCaptureHelperService, ScreenCaptureHelper>();
  registerShared<PasteboardService, PasteboardManager>();
  registerShared<ShareStatesService, ShareStatesManager>();
  registerShared<ShareService, ShareManager>();

  // The library does not create its internal folder; the host does, before the states store.
  auto folder = Resolver::resolveFromRoot<DirectoriesService>()->lumoInternalDirectory();
  if (!folder) return 1;
  std::filesystem::create_directories(folder->filePath());

  Resolver::resolveFromRoot<UserAccountStoreService>()->login(argv[1]);
  auto watcher = std::make_shared<Watcher>();
  Resolver::resolveFromRoot<ShareStatesService>()->setDelegate(watcher);

  auto capture = Resolver::resolveFromRoot<ScreenCaptureHelperService>()->screenCapture(
      Url::fileURL(std::filesystem::absolute(argv[2])));
  Resolver::resolveFromRoot<ShareService>()->share(*capture);
  MainQueue::runUntil([&] { return watcher->done.load(); }, std::chrono::minutes(10));
  return Resolver::resolveFromRoot<ShareStatesService>()->getState(*capture) == ShareState::uploaded
             ? 0
             : 1;
}
