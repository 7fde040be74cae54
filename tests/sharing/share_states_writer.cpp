// Child process of the crash-safety test: saves share states in a loop until it is killed.
//   XDG_DATA_HOME=<folder> share_states_writer <captures>
// It loads the states file, writes "ready", then gives generation after generation g every
// capture /c0 ... /c<captures-1>, in that order, the state of step g % 5; each asks for a save.

#include <unistd.h>

#include "Recorders.h"
#include "lumo/capture/Screenshot.h"
#include "lumo/registry/Resolver.h"
#include "lumo/sharing/ShareServiceError.h"
#include "lumo/sharing/ShareStatesManager.h"
#include "lumo/storage/DirectoriesManager.h"
#include "lumo/storage/LocalFilesManager.h"

int main(int argc, char** argv) {
  using namespace lumo;
  const char* data = std::getenv("XDG_DATA_HOME");
  if (argc != 2 || std::atoi(argv[1]) <= 0 || !data) return 2;
  auto environment = std::make_shared<test::TestEnvironment>(false);
  Resolver::registerInMain<EnvironmentHelperService>([environment] { return environment; });
  Resolver::registerInMain<LogService>([] { return std::make_shared<Log>(); });
  Resolver::registerInMain<DirectoriesService>(
      [] { return std::make_shared<DirectoriesManager>(); });
  Resolver::registerInMain<LocalFilesService>([] { return std::make_shared<LocalFilesManager>(); });
  auto store = std::make_shared<ShareStatesManager>();
  std::vector<Screenshot> shots;
  for (int j = 0; j < std::atoi(argv[1]); ++j) {
    shots.emplace_back(Url::fileURL(std::string(data) + "/Documents/c" + std::to_string(j)));
  }
  if (::write(STDOUT_FILENO, "ready\n", 6) != 6) return 1;
  const std::function<void(const Screenshot&)> steps[5] = {
      [&](auto& s) { store->screencapturePreparingForUploading(s); },
      [&](auto& s) { store->screencaptureUploadError(s, ShareServiceError::failedUpload); },
      [&](auto& s) { store->screencaptureUploadComplete(s); },
      [&](auto& s) { store->screencaptureUploadCancelled(s); },
      [&](auto& s) { store->screencaptureDeleteS3Completed(s); },
  };
  for (unsigned long g = 1;; ++g) {
    for (const Screenshot& shot : shots) steps[g % 5](shot);
  }
}
