#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "lumo/Export.h"
#include "lumo/api/StartUploadResponse.h"
#include "lumo/platform/HttpSession.h"
#include "lumo/platform/HttpTask.h"
#include "lumo/platform/Url.h"
#include "lumo/support/Result.h"
#include "lumo/tasks/NetworkTask.h"
#include "lumo/tasks/UploadTaskComponents.h"
#include "lumo/tasks/UploadTaskDelegate.h"
#include "lumo/tasks/UploadTaskResult.h"

namespace lumo {

// The base of the upload tasks. It carries one file at a time through the three steps of an
// upload with `uploadFile`:
//   1. "upload/start" tells the service the content type, size and remote name, and answers
//      the storage address and the presigned form fields;
//   2. the storage post (`MultipartUploadTask`) sends the file, reporting progress;
//   3. "upload/complete" tells the service the file is in place; it is sent, not awaited.
// The subclasses (`UploadSingleFileTask`, `UploadSingleCaptureTask`, `UploadScreencastTask`)
// decide when the whole task has ended and what the delegate hears.
//
//   class MyUpload : public UploadTask {
//     void start() override {
//       UploadTask::start();                 // executing, then taskUploadStarted
//       if (!claimStart()) return;           // a second start, or cancelled already
//       uploadFile(components, true, progressHandler, [self = ...](const UploadTaskResult& r,
//                                                                  std::int64_t ms) { ... });
//     }
//   };
//
// Threads. `start` and `uploadFile` run on the caller's thread (the upload queue's). The
// "upload/start" answer is handed to the main queue, and from there on everything runs on the
// main queue: the storage post is made there, its session delivers there, and the progress
// handler and the completion are called there.
//
// Cancelling. `cancel()` may come from any thread at any moment:
// - before any network request was made, the task ends at once (executing false, finished
//   true) and the delegate hears `taskCancelled` on the cancelling thread;
// - while "upload/start" runs, or while its answer is on its way to the main queue, the file
//   ends cancelled (`HTTPError::cancelledTask`) and nothing is posted to the storage;
// - while the storage post runs, the transfer is cancelled and ends with "NSURLErrorDomain"
//   -999;
// - a later `uploadFile` on a cancelled task ends at once as cancelled, without a request.
// Whatever the interleaving, the task makes exactly one final delegate call (see
// `claimFinalReport`).
class LUMO_API UploadTask : public NetworkTask, public HttpSessionDelegate {
 public:
  // The send progress of the storage post, a fraction of its body.
  using ProgressHandler = std::function<void(double progress)>;
  // The outcome of the file and the time since `uploadFile`, in whole milliseconds.
  using Completion = std::function<void(const UploadTaskResult& result, std::int64_t duration)>;

  // A ready task with no delegate.
  UploadTask();
  ~UploadTask() override;

  // Each storage post makes a session of its own, so the task keeps none: always empty.
  std::shared_ptr<HttpSession> session() const { return nullptr; }
  // The network request now running for the current file: first the "upload/start" request,
  // then the storage post. Kept after it ends; empty before the first one.
  std::shared_ptr<HttpTask> uploadTask() const;

  // The bytes the task uploads; the share service weighs concurrent uploads by it. 0 here.
  virtual std::int64_t fileSize() const { return 0; }

  // The delegate, held weakly; set it before the task is queued.
  std::shared_ptr<UploadTaskDelegate> delegate() const;
  void setDelegate(std::weak_ptr<UploadTaskDelegate> delegate);

  // Marks the task executing (see `NetworkTask::start`), then, whatever that did, tells the
  // delegate `taskUploadStarted`. Begins no upload: subclasses call `uploadFile` after it.
  void start() override;

  // Cancels the task; see the class comment.
  void cancel() override;

  // Uploads one file: "upload/start", the storage post, "upload/complete". `needShowProgress`
  // has no effect: `progressHandler` (which may be empty) always gets the storage post's
  // progress. `completion` is called once, on the main queue, with:
  // - "upload/start" failed (no token, HTTP or service error, transport error, a name that
  //   cannot be encoded as JSON): no task, that error;
  // - cancelled before the storage post: no task, `HTTPError::cancelledTask`, cancelled;
  // - the local file cannot be read, or the storage address is not a URL: no task, that error;
  // - the storage post failed or was cancelled: the transfer, its error (-999 when cancelled);
  // - the storage post ended without a transport error, whatever the HTTP status: the
  //   transfer, no error; "upload/complete" is then sent.
  // Each call replaces the handlers of the previous one; call it again only after the previous
  // completion has run.
  void uploadFile(const UploadTaskComponents& components, bool needShowProgress,
                  ProgressHandler progressHandler, Completion completion);

  // The last path component of `url`.
  static std::string getRemoteFileName(const Url& url);

  // The storage post's session calls these on the main queue.
  void didSendBodyData(HttpSession& session, const std::shared_ptr<HttpTask>& task,
                       std::int64_t bytesSent, std::int64_t totalBytesSent,
                       std::int64_t totalBytesExpectedToSend) override;
  void didCompleteWithError(HttpSession& session, const std::shared_ptr<HttpTask>& task,
                            const std::optional<Error>& error) override;

 protected:
  // This task as held by its owners.
  std::shared_ptr<UploadTask> sharedTask();

  // True for the one `start()` that should run the task's work: the first, on a task that was
  // not cancelled before it started.
  bool claimStart();

  // True for the one caller that may end the task and make its final delegate call; false for
  // every later caller (a cancel that raced the end of the work, a completion that arrives
  // after a cancel ended the task).
  bool claimFinalReport();

  // Executing false, then finished true.
  void finishTask();

 private:
  // Runs on the main queue with the "upload/start" outcome.
  void handleStartUploadResponse(const Result<StartUploadResponse>& result);
  // Ends a task that has no network request to cancel.
  void handleTaskCancellation();
  // Milliseconds since the last `uploadFile`, 0 before it. Needs mu_.
  std::int64_t elapsedMilliseconds() const;

  mutable std::mutex mu_;
  std::weak_ptr<UploadTaskDelegate> delegate_;                      // guarded by mu_
  std::shared_ptr<HttpTask> uploadTask_;                            // guarded by mu_
  ProgressHandler progressHandler_;                                 // guarded by mu_
  Completion completion_;                                           // guarded by mu_
  std::optional<std::chrono::steady_clock::time_point> startTime_;  // guarded by mu_
  std::optional<UploadTaskComponents> currentComponents_;           // guarded by mu_
  bool cancelRequested_ = false;                                    // guarded by mu_
  std::atomic<bool> started_{false};
  std::atomic<bool> finalReported_{false};
};

}  // namespace lumo
