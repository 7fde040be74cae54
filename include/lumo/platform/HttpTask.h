#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "lumo/Export.h"
#include "lumo/platform/HttpRequest.h"
#include "lumo/platform/HttpResponse.h"
#include "lumo/support/Error.h"

namespace lumo {

class HttpSession;
namespace detail {
class BodyReader;
class NetworkThread;
struct Transfer;
}  // namespace detail

// One transfer of an `HttpSession`: made suspended by `dataTask` or `uploadTask`, started
// with `resume()`, ended by the server's answer, a transport error or `cancel()`.
//
//   auto task = session->dataTask(HttpRequest(url), [](auto response, auto body, auto error) {
//     ...  // on the session's delegate queue
//   });
//   task->resume();
//   ...
//   task->cancel();  // the completion gets NSURLErrorDomain -999, unless the task ended first
//
// The completion and the delegate's `didCompleteWithError` are called exactly once per task,
// on the session's delegate queue; a task cancelled before `resume()` completes as cancelled.
// All members may be called from any thread.
class LUMO_API HttpTask : public std::enable_shared_from_this<HttpTask> {
 public:
  // The response (absent when no complete answer arrived), the body (absent on failure, empty
  // for an empty body or HEAD) and the error (absent on success, whatever the HTTP status).
  using CompletionHandler = std::function<void(std::optional<HttpResponse> response,
                                               std::optional<std::vector<std::uint8_t>> body,
                                               std::optional<Error> error)>;

  enum class State { running, suspended, canceling, completed };

  HttpTask(const HttpTask&) = delete;
  HttpTask& operator=(const HttpTask&) = delete;
  ~HttpTask();

  // Unique within the process, increasing in creation order.
  std::uint64_t taskIdentifier() const { return identifier_; }
  State state() const;

  // Starts a suspended task; does nothing otherwise.
  void resume();
  // Stops the transfer at once and completes the task with the cancelled error (domain
  // "NSURLErrorDomain", code -999). Does nothing when the task has completed.
  void cancel();

  const HttpRequest& originalRequest() const { return request_; }
  // The session that made the task.
  std::shared_ptr<HttpSession> session() const { return session_; }
  // The answer, once the task has completed with one.
  std::optional<HttpResponse> response() const;
  // The error the task completed with, if any.
  std::optional<Error> error() const;

  // Body bytes sent so far, and the body's size (0 without a body).
  std::int64_t countOfBytesSent() const { return bytesSent_.load(std::memory_order_relaxed); }
  std::int64_t countOfBytesExpectedToSend() const { return bytesExpectedToSend_; }
  // Body bytes received so far.
  std::int64_t countOfBytesReceived() const {
    return bytesReceived_.load(std::memory_order_relaxed);
  }

 private:
  friend class HttpSession;
  friend class detail::NetworkThread;
  friend struct detail::Transfer;
  struct PrivateTag {};

 public:
  // Made by `HttpSession` only (the tag is private).
  HttpTask(PrivateTag, std::uint64_t identifier, std::shared_ptr<HttpSession> session,
           HttpRequest request, std::unique_ptr<detail::BodyReader> body,
           std::optional<Error> bodyError, CompletionHandler completion);

 private:
  // Ends the task once: records the outcome and hands completion and delegate call to the
  // delegate queue. Later calls do nothing; returns whether this call ended the task.
  bool finish(std::optional<HttpResponse> response, std::optional<std::vector<std::uint8_t>> body,
              std::optional<Error> error);
  // Records body progress and tells the delegate, now and then, and always for the `last`
  // report of a transfer (network thread).
  void reportSent(std::int64_t totalBytesSent, bool last = false);
  // Hands the body reader to the transfer that starts now (network thread).
  std::unique_ptr<detail::BodyReader> takeBody();

  const std::uint64_t identifier_;
  const std::shared_ptr<HttpSession> session_;
  const HttpRequest request_;
  const std::int64_t bytesExpectedToSend_;

  std::atomic<std::int64_t> bytesSent_{0};
  std::atomic<std::int64_t> bytesReceived_{0};
  std::int64_t bytesReported_ = 0;  // network thread only: last total recorded
  std::chrono::steady_clock::time_point lastProgressPost_;  // network thread only
  std::atomic<bool> progressPending_{false};  // a progress delivery waits on the delegate queue
  std::int64_t bytesDelivered_ = 0;  // delegate queue only: last total told to the delegate

  mutable std::mutex mu_;
  State state_ = State::suspended;            // guarded by mu_
  std::unique_ptr<detail::BodyReader> body_;  // guarded by mu_
  std::optional<Error> bodyError_;            // guarded by mu_
  CompletionHandler completion_;              // guarded by mu_
  std::optional<HttpResponse> response_;      // guarded by mu_
  std::optional<Error> error_;                // guarded by mu_
};

}  // namespace lumo
