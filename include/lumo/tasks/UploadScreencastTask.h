#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "lumo/Export.h"
#include "lumo/capture/Screencast.h"
#include "lumo/platform/Url.h"
#include "lumo/registry/Injected.h"
#include "lumo/sharing/ShareURLHelperService.h"
#include "lumo/storage/LocalFilesService.h"
#include "lumo/support/AtomicVariable.h"
#include "lumo/support/DispatchQueue.h"
#include "lumo/support/Result.h"
#include "lumo/tasks/ScreenCaptureTask.h"
#include "lumo/tasks/SingleFileSize.h"
#include "lumo/tasks/SingleProgress.h"
#include "lumo/tasks/UploadScreencastTaskError.h"
#include "lumo/tasks/UploadTask.h"

namespace lumo {

// Uploads the three files of a shared screencast one after the other, as one task: the HTML
// page ("text/html"), the thumbnail ("image/png"), then the video ("video/mp4", whatever its
// container). It reports one progress for the three, weighted by their sizes, and one outcome:
// complete when all three are up; otherwise cancelled, or the first error (a cancellation wins).
// The reported size is always the sum of the three files.
//
//   auto task = UploadScreencastTask::make(screencast, screencastURL, pageFile, pageURL,
//                                          *localFiles);
//   if (!task) return report(task.error());          // an UploadScreencastTaskError
//   (*task)->setDelegate(shareService);
//   uploadQueue.addOperation(*task);
//
// `start()` returns once the first file's upload is under way. Each file's outcome comes on the
// main queue, and the next file starts from a pool thread after it, so no thread waits for the
// transfers; the final delegate call is made on that pool thread, never on the main queue (on
// the starting thread when no file could be listed, or when a cancel ended the task before any
// request). The page and thumbnail URLs
// come from the registered `ShareURLHelperService`, resolved when the task is made; the
// screencast must carry its thumbnail URL.
class LUMO_API UploadScreencastTask : public UploadTask, public ScreenCaptureTask {
  struct PrivateTag {};

 public:
  // Measures the three files, in this order: the video (`screencastFileSizeUnknown`), the
  // thumbnail (`screencastThumbnailFileSizeUnknown`, also without a thumbnail URL), the page
  // through `fileService` (`screencastHtmlFileSizeUnknown`). The task is ready, without
  // delegate.
  static Result<std::shared_ptr<UploadScreencastTask>> make(const Screencast& screencast,
                                                            Url screencastPublicURL,
                                                            Url htmlLocalURL, Url htmlPublicURL,
                                                            LocalFilesService& fileService);

  // Made by `make` only.
  UploadScreencastTask(PrivateTag, const Screencast& screencast, Url screencastPublicURL,
                       Url htmlLocalURL, Url htmlPublicURL);

  const ScreenCapture& screenCapture() const override { return screencast_; }
  const Screencast& screencast() const { return screencast_; }
  // The screencast's public URL as its creator gave it; kept, not used by the upload.
  const Url& screencastPublicURL() const { return screencastPublicURL_; }
  const Url& htmlLocalURL() const { return htmlLocalURL_; }
  const Url& htmlPublicURL() const { return htmlPublicURL_; }

  std::int64_t screencastFileSize() const { return screencastFileSize_; }
  std::int64_t thumbnailFileSize() const { return thumbnailFileSize_; }
  std::int64_t htmlFileSize() const { return htmlFileSize_; }
  // The sum of the three sizes.
  std::int64_t fileSize() const override {
    return screencastFileSize_ + thumbnailFileSize_ + htmlFileSize_;
  }

  const std::shared_ptr<ShareURLHelperService>& shareURLHelperService() const {
    return _shareURLHelperService.wrappedValue();
  }
  Injected<ShareURLHelperService>& projectedShareURLHelperService() {
    return _shareURLHelperService;
  }

  // Starts uploading the three files in turn; see the class comment for where the rest runs.
  void start() override;
  void cancel() override { UploadTask::cancel(); }

  // The components of the page, the thumbnail and the video, in upload order, and the size of
  // each in `commonFileSizeSet()`. `ShareServiceError::shareURLisAbsent` when a public URL
  // cannot be made (the video gone meanwhile).
  Result<std::vector<UploadTaskComponents>> makeUploadComponents();

  // Records the fraction `progress` of the file named `remoteName` and tells the delegate the
  // common progress. Nothing once the task has finished, or for a name that is not one of the
  // three.
  void updateProgress(const std::string& remoteName, double progress);
  // The sum over `progressSet` of each fraction weighted by its file's share of the three
  // sizes; 0 for an empty set or three empty files.
  double commonProgress(const std::unordered_set<SingleProgress>& progressSet) const;

  std::unordered_set<SingleProgress> progressSet() const;
  std::unordered_set<SingleFileSize> commonFileSizeSet() const;

 private:
  // The outcome of one file (main queue).
  void handleFileResult(const UploadTaskResult& result);
  // Uploads file `index` of `files_`, or ends the task after the last.
  void uploadFileAt(std::size_t index);
  // The completion of file `index` (main queue): records it, then posts `goOnAfter`.
  void fileEnded(std::size_t index, const std::string& remoteName, const UploadTaskResult& result);
  // After file `index` (a pool thread): the next file, or the end of the task.
  void goOnAfter(std::size_t index);
  // The final delegate call, once.
  void finishUpload();

  Injected<ShareURLHelperService> _shareURLHelperService;
  const Screencast screencast_;
  const Url screencastPublicURL_;
  const Url htmlLocalURL_;
  const Url htmlPublicURL_;
  std::int64_t screencastFileSize_ = 0;  // set by `make`, then fixed
  std::int64_t thumbnailFileSize_ = 0;   // set by `make`, then fixed
  std::int64_t htmlFileSize_ = 0;        // set by `make`, then fixed
  AtomicVariable<std::optional<Error>> uploadError_{std::nullopt};
  AtomicVariable<bool> taskCancelled_{false};

  mutable std::mutex progressMu_;
  std::unordered_set<SingleProgress> progressSet_;        // guarded by progressMu_
  std::unordered_set<SingleFileSize> commonFileSizeSet_;  // guarded by progressMu_
  std::vector<UploadTaskComponents> files_;               // guarded by progressMu_
  std::chrono::steady_clock::time_point startMoment_;     // guarded by progressMu_
};

}  // namespace lumo
