// Child process of the crash-safety test: saves share states in a loop until it is killed.
//
//   XDG_DATA_HOME=<folder> share_states_writer <captures>
//
// It loads the states file, writes "ready" on standard output, then records generation after
// generation: generation g gives every capture /c0 ... /c<captures-1>, in that order, the state
// kCycle[g % 5]. Each update asks for a save, so the store is saving almost all the time.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "StatesTestHost.h"
#include "lumo/capture/Screenshot.h"
#include "lumo/sharing/ShareServiceError.h"
#include "lumo/sharing/ShareStatesManager.h"

int main(int argc, char** argv) {
  using namespace lumo;
  if (argc != 2) {
    std::fprintf(stderr, "usage: share_states_writer <captures>\n");
    return 2;
  }
  const int captures = std::atoi(argv[1]);
  if (captures <= 0) return 2;
  const char* data = std::getenv("XDG_DATA_HOME");
  if (!data) return 2;

  states_test::registerStatesHost(/*debug=*/false);
  auto store = std::make_shared<ShareStatesManager>();

  std::vector<Screenshot> shots;
  for (int j = 0; j < captures; ++j) {
    shots.emplace_back(Url::fileURL(std::string(data) + "/Documents/c" + std::to_string(j)));
  }
  const char ready[] = "ready\n";
  if (::write(STDOUT_FILENO, ready, sizeof ready - 1) < 0) return 1;

  for (unsigned long g = 1;; ++g) {
    for (const Screenshot& shot : shots) {
      switch (g % 5) {
        case 0:
          store->screencapturePreparingForUploading(shot);
          break;
        case 1:
          store->screencaptureUploadError(shot, ShareServiceError::failedUpload);
          break;
        case 2:
          store->screencaptureUploadComplete(shot);
          break;
        case 3:
          store->screencaptureUploadCancelled(shot);
          break;
        default:
          store->screencaptureDeleteS3Completed(shot);
          break;
      }
    }
  }
}
