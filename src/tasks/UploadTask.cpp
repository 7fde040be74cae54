#include "lumo/tasks/UploadTask.h"

#include <cstdio>
#include <utility>
#include <vector>

#include "AnsweredPost.h"
#include "lumo/api/API.h"
#include "lumo/api/CompleteUploadRequest.h"
#include "lumo/api/CompleteUploadResponse.h"
#include "lumo/api/Endpoint.h"
#include "lumo/api/HTTPError.h"
#include "lumo/api/HTTPMethod.h"
#include "lumo/api/StartUploadRequest.h"
#include "lumo/support/DispatchQueue.h"
#include "lumo/tasks/MultipartUploadTask.h"

namespace lumo {

UploadTask::UploadTask() = default;
UploadTask::~UploadTask() = default;

std::shared_ptr<HttpTask> UploadTask::uploadTask() const {
  std::lock_guard lock(mu_);
  return uploadTask_;
}

std::shared_ptr<UploadTaskDelegate> UploadTask::delegate() const {
  std::lock_guard lock(mu_);
  return delegate_.lock();
}

void UploadTask::setDelegate(std::weak_ptr<UploadTaskDelegate> delegate) {
  std::lock_guard lock(mu_);
  delegate_ = std::move(delegate);
}

std::shared_ptr<UploadTask> UploadTask::sharedTask() {
  return std::static_pointer_cast<UploadTask>(weak_from_this().lock());
}

bool UploadTask::claimStart() {
  if (started_.exchange(true, std::memory_order_acq_rel)) return false;
  return !isFinished();
}

bool UploadTask::claimFinalReport() {
  return !finalReported_.exchange(true, std::memory_order_acq_rel);
}

void UploadTask::finishTask() {
  setExecuting(false);
  setFinished(true);
}

std::string UploadTask::getRemoteFileName(const Url& url) {
  return url.lastPathComponent();
}

void UploadTask::start() {
  NetworkTask::start();
  // A cancel that ended the task while the flags were being checked leaves it finished; it
  // must not stay executing as well.
  if (isFinished() && isExecuting()) setExecuting(false);
  if (auto delegate = this->delegate()) delegate->taskUploadStarted(sharedTask());
}

void UploadTask::cancel() {
  NetworkTask::cancel();
  std::shared_ptr<HttpTask> running;
  {
    std::lock_guard lock(mu_);
    cancelRequested_ = true;
    running = uploadTask_;
  }
  if (!running) {
    handleTaskCancellation();
    return;
  }
  // The outcome comes through the usual path: `HTTPError::cancelledTask` for "upload/start",
  // -999 for the storage post. A request that has ended already ignores this, and the
  // cancelled flag then stops the next step instead.
  running->cancel();
}

void UploadTask::handleTaskCancellation() {
  if (!claimFinalReport()) return;
  finishTask();
  if (auto delegate = this->delegate()) delegate->taskCancelled(sharedTask());
}

std::int64_t UploadTask::elapsedMilliseconds() const {
  if (!startTime_) return 0;
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               *startTime_)
      .count();
}

void UploadTask::uploadFile(const UploadTaskComponents& components, bool /*needShowProgress*/,
                            ProgressHandler progressHandler, Completion completion) {
  StartUploadRequest request{components.contentType, components.fileSize,
                             getRemoteFileName(components.uploadURL)};
  API<StartUploadRequest, StartUploadResponse> api;
  std::weak_ptr<UploadTask> weakSelf = sharedTask();

  std::optional<Error> endAtOnce;
  {
    std::lock_guard lock(mu_);
    progressHandler_ = std::move(progressHandler);
    completion_ = std::move(completion);
    currentComponents_ = components;
    startTime_ = std::chrono::steady_clock::now();
    if (cancelRequested_) {
      endAtOnce = Error(HTTPError::cancelledTask());
    } else {
      // Sent under the lock so that a concurrent cancel either finds this request or is seen
      // here first. Answered also for a name that cannot be encoded (not UTF-8), so that the
      // upload ends with that error instead of waiting for good.
      uploadTask_ = tasks_detail::postAnswered(
          api, request, Endpoint::start(), HTTPMethod::post,
          [weakSelf](const Result<StartUploadResponse>& result) {
            auto self = weakSelf.lock();
            if (!self) return;
            // Carried as its two halves: a result is rebuilt on the main queue, not copied.
            std::optional<StartUploadResponse> response;
            std::optional<Error> error;
            if (result.ok()) {
              response = *result;
            } else {
              error = result.error();
            }
            DispatchQueue::main().async(
                [self, response = std::move(response), error = std::move(error)] {
                  self->handleStartUploadResponse(response ? Result<StartUploadResponse>(*response)
                                                           : Result<StartUploadResponse>(*error));
                });
          });
    }
  }
  if (endAtOnce) {
    auto self = weakSelf.lock();
    if (!self) return;
    DispatchQueue::main().async([self, error = std::move(*endAtOnce)] {
      self->handleStartUploadResponse(Result<StartUploadResponse>(error));
    });
  }
}

void UploadTask::handleStartUploadResponse(const Result<StartUploadResponse>& result) {
  std::unique_lock lock(mu_);
  const std::int64_t duration = elapsedMilliseconds();
  std::optional<Error> failure;
  if (cancelRequested_) {
    // A cancel that came while the answer was on its way: nothing is posted.
    failure = Error(HTTPError::cancelledTask());
  } else if (!result.ok()) {
    failure = result.error();
  } else {
    Result<std::shared_ptr<HttpTask>> transfer =
        MultipartUploadTask(*currentComponents_, *result).upload(sharedTask());
    if (transfer.ok()) {
      // Stored under the lock: from here on a cancel stops the transfer itself.
      uploadTask_ = *transfer;
      return;
    }
    uploadTask_ = nullptr;
    failure = transfer.error();
  }
  Completion completion = std::exchange(completion_, nullptr);
  lock.unlock();

  const HTTPError* httpError = failure->as<HTTPError>();
  const bool isCancelled =
      httpError != nullptr && httpError->kind() == HTTPError::Kind::cancelledTask;
  if (completion) completion(UploadTaskResult(nullptr, std::move(failure), isCancelled), duration);
}

void UploadTask::didSendBodyData(HttpSession& /*session*/, const std::shared_ptr<HttpTask>& task,
                                 std::int64_t /*bytesSent*/, std::int64_t totalBytesSent,
                                 std::int64_t totalBytesExpectedToSend) {
  ProgressHandler handler;
  {
    std::lock_guard lock(mu_);
    if (task != uploadTask_) return;  // an earlier file's transfer
    handler = progressHandler_;
  }
  if (handler) {
    handler(static_cast<double>(totalBytesSent) / static_cast<double>(totalBytesExpectedToSend));
  }
}

void UploadTask::didCompleteWithError(HttpSession& session, const std::shared_ptr<HttpTask>& task,
                                      const std::optional<Error>& error) {
  Completion completion;
  std::int64_t duration = 0;
  std::string key;
  {
    std::lock_guard lock(mu_);
    duration = elapsedMilliseconds();
    if (task == uploadTask_) {
      completion = std::exchange(completion_, nullptr);
      // Taken now: once the completion has run, the next file may replace the components.
      if (currentComponents_) key = getRemoteFileName(currentComponents_->uploadURL);
    }
  }
  session.invalidateAndCancel();
  const bool isCancelled = error && error->isURLCancelled();
  if (completion) completion(UploadTaskResult(task, error, isCancelled), duration);

  if (error) {
    // Written whatever the build, straight to standard output, in one piece.
    const std::string line = "Error multipart upload = " + error->localizedDescription() + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
    return;
  }
  if (key.empty()) return;
  API<CompleteUploadRequest, CompleteUploadResponse>().post(
      CompleteUploadRequest{key}, Endpoint::complete(), HTTPMethod::post,
      [](const Result<CompleteUploadResponse>&) {});
}

}  // namespace lumo
