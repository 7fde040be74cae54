#include "Host.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "DesktopNotifications.h"
#include "FfmpegThumbnails.h"
#include "LinuxEnvironment.h"
#include "StderrAlerts.h"
#include "lumo/account/ProfileUpdater.h"
#include "lumo/account/UserAccountStore.h"
#include "lumo/api/APISettings.h"
#include "lumo/capture/ScreenCaptureHelper.h"
#include "lumo/platform/HttpSession.h"
#include "lumo/registry/Resolver.h"
#include "lumo/sharing/PasteboardManager.h"
#include "lumo/sharing/ShareURLHelper.h"
#include "lumo/storage/DirectoriesManager.h"
#include "lumo/storage/FileStorage.h"
#include "lumo/storage/LocalFilesManager.h"
#include "lumo/support/Log.h"

namespace lumo::cli {
namespace fs = std::filesystem;
namespace {

fs::path dataHome() {
  if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data) return data;
  const char* home = std::getenv("HOME");
  return fs::path(home ? home : ".") / ".local" / "share";
}

bool makeFolder(const fs::path& folder, std::string* whyNot) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec && whyNot) *whyNot = "cannot create " + folder.string() + ": " + ec.message();
  return !ec;
}

}  // namespace

std::unique_ptr<Host> Host::install(const Options& options, std::string* whyNot) {
  DirectoriesManager directories;
  const auto internal = directories.lumoInternalDirectory();
  if (!internal) {
    if (whyNot) *whyNot = "no internal folder: " + internal.error().localizedDescription();
    return nullptr;
  }
  // The share extension copies into the group's caches folder, so that is made too.
  const fs::path group = dataHome() / FileStorage::defaultSharedAppGroup();
  if (!makeFolder(internal->filePath(), whyNot) ||
      !makeFolder(group / "Library" / "Caches", whyNot)) {
    return nullptr;
  }

  std::unique_ptr<Host> host(new Host());
  // Before any session is made: the library's sessions and lumo's own read it when made.
  if (options.requestTimeout) {
    Resolver::registerInMain<HttpSessionConfiguration>([limit = options.requestTimeout] {
      return HttpSessionConfiguration{.maximumIdleTimeout = limit, .httpAdditionalHeaders = {}};
    }).scope(Resolver::application());
  }
  const bool verbose = options.verbose;
  Resolver::registerInMain<EnvironmentHelperService>([verbose] {
    return std::make_shared<LinuxEnvironment>(verbose);
  }).scope(Resolver::application());
  Resolver::registerInMain<LogService>([] {
    return std::make_shared<Log>();
  }).scope(Resolver::application());
  Resolver::registerInMain<DirectoriesService>([] {
    return std::make_shared<DirectoriesManager>();
  }).scope(Resolver::application());
  Resolver::registerInMain<LocalFilesService>([] {
    return std::make_shared<LocalFilesManager>();
  }).scope(Resolver::application());
  Resolver::registerInMain<UserAccountStoreService>([] {
    return std::make_shared<UserAccountStore>();
  }).scope(Resolver::application());
  Resolver::registerInMain<ProfileUpdateService>([] {
    return std::make_shared<ProfileUpdater>();
  }).scope(Resolver::application());
  Resolver::registerInMain<APISettingsService>([] {
    return std::make_shared<APISettings>();
  }).scope(Resolver::application());
  Resolver::registerInMain<ShareURLHelperService>([] {
    return std::make_shared<ShareURLHelper>();
  }).scope(Resolver::application());
  Resolver::registerInMain<ScreenCaptureHelperService>([] {
    return std::make_shared<ScreenCaptureHelper>();
  }).scope(Resolver::application());
  Resolver::registerInMain<PasteboardService>([] {
    return std::make_shared<PasteboardManager>();
  }).scope(Resolver::application());
  Resolver::registerInMain<ShareStatesService>([] {
    return std::make_shared<ShareStatesManager>();
  }).scope(Resolver::application());
  Resolver::registerInMain<ShareService>([] {
    return std::make_shared<ShareManager>();
  }).scope(Resolver::application());

  host->progress_ = std::make_shared<TerminalProgress>(options.terminal, options.quiet, [] {
    auto manager =
        std::dynamic_pointer_cast<ShareManager>(Resolver::optionalFromRoot<ShareService>());
    return manager ? manager->totalFileSize() : std::int64_t{0};
  });
  auto writeLine = [progress =
                        std::weak_ptr<TerminalProgress>(host->progress_)](const std::string& line) {
    if (auto display = progress.lock()) display->printLine(line);
  };
  host->alerts_ = std::make_shared<StderrAlerts>(writeLine);
  Resolver::registerInMain<GlobalAlertsService>([alerts = host->alerts_] {
    return alerts;
  }).scope(Resolver::application());
  Resolver::registerInMain<UserNotificationsService>([writeLine] {
    return std::make_shared<DesktopNotifications>(writeLine);
  }).scope(Resolver::application());
  Resolver::registerInMain<ThumbnailsService>([] {
    return std::make_shared<FfmpegThumbnails>();
  }).scope(Resolver::application());
  auto progress = host->progress_;
  Resolver::registerInMain<ProgressDisplay>([progress] { return progress; });
  return host;
}

std::shared_ptr<ShareManager> Host::manager() const {
  return std::dynamic_pointer_cast<ShareManager>(Resolver::resolveFromRoot<ShareService>());
}

std::shared_ptr<ShareStatesManager> Host::states() const {
  return std::dynamic_pointer_cast<ShareStatesManager>(
      Resolver::resolveFromRoot<ShareStatesService>());
}

}  // namespace lumo::cli
