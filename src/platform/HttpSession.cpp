#include "lumo/platform/HttpSession.h"

#include <atomic>

#include "BodyReader.h"
#include "NetworkThread.h"

namespace lumo {
namespace {

std::atomic<std::uint64_t> gNextTaskIdentifier{1};

}  // namespace

HttpConnectionPool::HttpConnectionPool() : key_(std::make_shared<detail::ConnectionPoolKey>()) {}

std::shared_ptr<HttpSession> HttpSession::make(HttpSessionConfiguration configuration,
                                               std::weak_ptr<HttpSessionDelegate> delegate,
                                               std::optional<DispatchQueue> delegateQueue) {
  return std::make_shared<HttpSession>(
      PrivateTag{}, std::move(configuration), std::move(delegate),
      delegateQueue ? std::move(*delegateQueue) : DispatchQueue("lumo.http-session.delegate"));
}

HttpSession::HttpSession(PrivateTag, HttpSessionConfiguration configuration,
                         std::weak_ptr<HttpSessionDelegate> delegate, DispatchQueue delegateQueue)
    : configuration_(std::move(configuration)),
      delegateQueue_(std::move(delegateQueue)),
      delegate_(std::move(delegate)) {}

std::shared_ptr<HttpSessionDelegate> HttpSession::delegate() const {
  std::lock_guard lock(mu_);
  return delegate_.lock();
}

std::shared_ptr<HttpTask> HttpSession::dataTask(HttpRequest request, CompletionHandler completion) {
  std::unique_ptr<detail::BodyReader> body;
  if (request.body && request.method != "GET" && request.method != "HEAD") {
    auto reader = detail::BodyReader::open(HttpBody::bytes(std::move(*request.body)));
    body = std::move(*reader);  // bytes alone always open
  }
  request.body.reset();
  return makeTask(std::move(request), std::move(body), std::nullopt, std::move(completion));
}

std::shared_ptr<HttpTask> HttpSession::uploadTask(HttpRequest request, HttpBody body,
                                                  CompletionHandler completion) {
  if (request.method == "GET" || request.method == "HEAD") request.method = "POST";
  request.body.reset();
  auto reader = detail::BodyReader::open(std::move(body));
  if (!reader) {
    return makeTask(std::move(request), nullptr, reader.error(), std::move(completion));
  }
  return makeTask(std::move(request), std::move(*reader), std::nullopt, std::move(completion));
}

std::shared_ptr<HttpTask> HttpSession::uploadTask(HttpRequest request,
                                                  const std::filesystem::path& file,
                                                  CompletionHandler completion) {
  return uploadTask(std::move(request), HttpBody::file(file), std::move(completion));
}

std::shared_ptr<HttpTask> HttpSession::makeTask(HttpRequest request,
                                                std::unique_ptr<detail::BodyReader> body,
                                                std::optional<Error> bodyError,
                                                CompletionHandler completion) {
  const std::uint64_t identifier = gNextTaskIdentifier.fetch_add(1);
  auto task = std::make_shared<HttpTask>(HttpTask::PrivateTag{}, identifier, shared_from_this(),
                                         std::move(request), std::move(body), std::move(bodyError),
                                         std::move(completion));
  std::lock_guard lock(mu_);
  tasks_.emplace(identifier, task);
  return task;
}

void HttpSession::invalidateAndCancel() {
  invalidate(/*cancelTasks=*/true);
}

void HttpSession::finishTasksAndInvalidate() {
  invalidate(/*cancelTasks=*/false);
}

void HttpSession::invalidate(bool cancelTasks) {
  std::vector<std::shared_ptr<HttpTask>> live;
  {
    std::lock_guard lock(mu_);
    invalidated_ = true;
    if (cancelTasks) {
      for (const auto& [identifier, weak] : tasks_) {
        if (auto task = weak.lock()) live.push_back(std::move(task));
      }
    }
  }
  for (const auto& task : live) task->cancel();
  live.clear();
  taskStartedOrDelivered(0);
}

bool HttpSession::isInvalidated() const {
  std::lock_guard lock(mu_);
  return invalidated_;
}

void HttpSession::taskStarted() {
  taskStartedOrDelivered(+1);
}

void HttpSession::taskDelivered() {
  taskStartedOrDelivered(-1);
}

void HttpSession::taskStartedOrDelivered(int change) {
  {
    std::lock_guard lock(mu_);
    if (change > 0) ++activeTasks_;
    if (change < 0) --activeTasks_;
    if (!invalidated_ || activeTasks_ != 0 || invalidationReported_) return;
    invalidationReported_ = true;
  }
  // After the last completion: tell the delegate, then let it go.
  delegateQueue_.async([self = shared_from_this()] {
    std::shared_ptr<HttpSessionDelegate> delegate;
    {
      std::lock_guard lock(self->mu_);
      delegate = self->delegate_.lock();
      self->delegate_.reset();
    }
    if (delegate) delegate->didBecomeInvalidWithError(*self, std::nullopt);
  });
}

void HttpSession::forgetTask(std::uint64_t identifier) {
  std::lock_guard lock(mu_);
  tasks_.erase(identifier);
}

HttpTransferStats HttpSession::stats() {
  HttpTransferStats stats;
  if (detail::NetworkThread::exists()) {
    stats.networkThreads = 1;
    stats.liveTransfers = detail::NetworkThread::instance().liveTransfers();
    stats.waitingTransfers = detail::NetworkThread::instance().waitingTransfers();
  }
  return stats;
}

}  // namespace lumo
