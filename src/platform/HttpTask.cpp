#include "lumo/platform/HttpTask.h"

#include <chrono>

#include "BodyReader.h"
#include "NetworkThread.h"
#include "lumo/platform/HttpSession.h"

namespace lumo {
namespace {

// How often the delegate hears of body progress at most: far more often than a progress bar
// needs, and rarely enough that a fast upload does not keep its delegate queue busy.
constexpr std::chrono::milliseconds kProgressInterval{20};

Error cancelledError() {
  return Error::transport(kURLErrorDomain, URLErrorCode::kCancelled, "cancelled");
}

}  // namespace

HttpTask::HttpTask(PrivateTag, std::uint64_t identifier, std::shared_ptr<HttpSession> session,
                   HttpRequest request, std::unique_ptr<detail::BodyReader> body,
                   std::optional<Error> bodyError, CompletionHandler completion)
    : identifier_(identifier),
      session_(std::move(session)),
      request_(std::move(request)),
      bytesExpectedToSend_(body ? body->size() : 0),
      body_(std::move(body)),
      bodyError_(std::move(bodyError)),
      completion_(std::move(completion)) {}

HttpTask::~HttpTask() {
  session_->forgetTask(identifier_);
}

HttpTask::State HttpTask::state() const {
  std::lock_guard lock(mu_);
  return state_;
}

std::optional<HttpResponse> HttpTask::response() const {
  std::lock_guard lock(mu_);
  return response_;
}

std::optional<Error> HttpTask::error() const {
  std::lock_guard lock(mu_);
  return error_;
}

void HttpTask::resume() {
  std::optional<Error> failure;
  {
    std::lock_guard lock(mu_);
    if (state_ != State::suspended) return;
    state_ = State::running;
    failure = bodyError_;
  }
  session_->taskStarted();
  if (!failure && session_->isInvalidated()) failure = cancelledError();
  if (failure) {
    finish(std::nullopt, std::nullopt, std::move(failure));
    return;
  }
  detail::NetworkThread::instance().start(shared_from_this());
}

void HttpTask::cancel() {
  State before;
  {
    std::lock_guard lock(mu_);
    before = state_;
    if (before != State::suspended && before != State::running) return;
    state_ = State::canceling;
  }
  if (before == State::suspended) {
    // Counts as active until its completion has run, as a resumed task does.
    session_->taskStarted();
    finish(std::nullopt, std::nullopt, cancelledError());
  } else {
    detail::NetworkThread::instance().cancel(shared_from_this());
  }
}

bool HttpTask::finish(std::optional<HttpResponse> response,
                      std::optional<std::vector<std::uint8_t>> body, std::optional<Error> error) {
  CompletionHandler completion;
  std::unique_ptr<detail::BodyReader> unsent;
  {
    std::lock_guard lock(mu_);
    if (state_ == State::completed) return false;
    state_ = State::completed;
    response_ = response;
    error_ = error;
    completion = std::move(completion_);
    unsent = std::move(body_);  // closes files that were never sent
  }
  session_->delegateQueue().async([self = shared_from_this(), completion = std::move(completion),
                                   response = std::move(response), body = std::move(body),
                                   error = std::move(error)]() mutable {
    if (completion) completion(std::move(response), std::move(body), error);
    if (auto delegate = self->session_->delegate()) {
      delegate->didCompleteWithError(*self->session_, self, error);
    }
    self->session_->taskDelivered();
  });
  return true;
}

void HttpTask::reportSent(std::int64_t totalBytesSent, bool last) {
  const bool advanced = totalBytesSent > bytesReported_;
  if (advanced) {
    bytesReported_ = totalBytesSent;
    bytesSent_.store(totalBytesSent, std::memory_order_relaxed);
  }
  if (!session_->delegate()) return;
  // libcurl reports every buffer it sends, tens of thousands per GiB; a delivery for each cost
  // a 2 GiB post to a fast server 40% more processor time than curl's, and as much wall time on
  // a busy machine. So the delegate hears at most every kProgressInterval, and always at the
  // last report, which also delivers what earlier ones recorded and held back. A delivery
  // carries the total as it is when it runs, and none is posted while one waits; the exchanges
  // order the store of a newer total before the read of it in the delivery, whichever side sees
  // the flag set.
  const auto now = std::chrono::steady_clock::now();
  if (!last && (!advanced || now - lastProgressPost_ < kProgressInterval)) return;
  if (progressPending_.exchange(true, std::memory_order_acq_rel)) return;
  lastProgressPost_ = now;
  session_->delegateQueue().async([self = shared_from_this(), expected = bytesExpectedToSend_] {
    self->progressPending_.exchange(false, std::memory_order_acq_rel);
    const std::int64_t total = self->bytesSent_.load(std::memory_order_relaxed);
    if (total <= self->bytesDelivered_) return;
    const std::int64_t delta = total - self->bytesDelivered_;
    self->bytesDelivered_ = total;
    if (auto delegate = self->session_->delegate()) {
      delegate->didSendBodyData(*self->session_, self, delta, total, expected);
    }
  });
}

std::unique_ptr<detail::BodyReader> HttpTask::takeBody() {
  std::lock_guard lock(mu_);
  return std::move(body_);
}

}  // namespace lumo
