#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "lumo/Export.h"
#include "lumo/platform/HttpBody.h"
#include "lumo/platform/HttpRequest.h"
#include "lumo/platform/HttpResponse.h"
#include "lumo/platform/HttpTask.h"
#include "lumo/support/DispatchQueue.h"
#include "lumo/support/Error.h"

namespace lumo {

namespace detail {
class ConnectionBudget;
struct ConnectionPoolKey;
}  // namespace detail

// The pool of connections a configuration's sessions draw from, by identity: the bounds of a
// configuration hold across every session made from it or from its copies, as the connections
// of one pool would. A copy shares the pool; a default-constructed one is a pool of its own.
// Immutable: any thread may use it.
class LUMO_API HttpConnectionPool {
 public:
  HttpConnectionPool();
  friend bool operator==(const HttpConnectionPool&, const HttpConnectionPool&) = default;

 private:
  friend class detail::ConnectionBudget;
  std::shared_ptr<const detail::ConnectionPoolKey> key_;
};

// How a session's transfers behave. Sessions made from copies of one configuration share its
// bounds; a configuration made afresh starts its own.
struct LUMO_API HttpSessionConfiguration {
  // The idle timeout: a transfer fails with NSURLErrorDomain -1001 ("timed out") when no byte
  // has moved for this long, and connecting may take this long. A request's own
  // `timeoutInterval` takes precedence. libcurl measures it in whole seconds.
  std::chrono::seconds timeoutIntervalForRequest{60};
  // The longest any transfer of the session may stay idle, a request's own `timeoutInterval`
  // included: the shorter of the two applies. Connecting gets exactly this long; the idle check
  // rounds it up to whole seconds. None by default. For a host that cannot wait a minute for
  // a peer that stalls, and for tests of such peers.
  std::optional<std::chrono::milliseconds> maximumIdleTimeout;
  // Header fields added to every request that does not set the same field itself.
  std::map<std::string, std::string> httpAdditionalHeaders;
  // How many transfers of the pool's sessions run at once against one host (scheme, host and
  // port), and in all. Further tasks start and count as running at once, but their requests
  // wait inside the session, in the order they were resumed, for a place. Each running
  // transfer holds at most one connection, so these also bound the pool's sockets. 0 counts
  // as 1. Where copies of one configuration are given different values, a waiting task takes
  // a place while the pool runs fewer than its own session's values.
  std::size_t httpMaximumConnectionsPerHost = 6;
  std::size_t httpMaximumConnections = 64;
  // Shared by copies: a new one per configuration made afresh (see HttpConnectionPool).
  HttpConnectionPool connectionPool{};
};

class HttpSession;

// Receives the events of a session's tasks, on the session's delegate queue. Held weakly by
// the session. Implement `didCompleteWithError`; the other events are optional.
class LUMO_API HttpSessionDelegate {
 public:
  virtual ~HttpSessionDelegate() = default;

  // Body bytes went out: `bytesSent` since the last call, `totalBytesSent` in all, of
  // `totalBytesExpectedToSend`. The last call before completion of a fully sent body has
  // `totalBytesSent == totalBytesExpectedToSend`. Calls come at most every 20 ms or so,
  // each with all progress since the one before.
  virtual void didSendBodyData(HttpSession& /*session*/, const std::shared_ptr<HttpTask>& /*task*/,
                               std::int64_t /*bytesSent*/, std::int64_t /*totalBytesSent*/,
                               std::int64_t /*totalBytesExpectedToSend*/) {}
  // The task ended: `error` is absent on success (whatever the HTTP status). Called after the
  // task's completion handler, if it has one.
  virtual void didCompleteWithError(HttpSession& session, const std::shared_ptr<HttpTask>& task,
                                    const std::optional<Error>& error) = 0;
  // The session was invalidated and its last task has completed; the session drops its
  // delegate after this call.
  virtual void didBecomeInvalidWithError(HttpSession& /*session*/,
                                         const std::optional<Error>& /*error*/) {}
};

// Figures of the process's transfers, for tests that look for leaks.
struct LUMO_API HttpTransferStats {
  std::size_t liveTransfers = 0;     // libcurl easy handles alive
  std::size_t waitingTransfers = 0;  // resumed tasks waiting for a place in their pool
  std::size_t networkThreads = 0;    // 0 before the first transfer, then 1 for good
};

// A URL session on libcurl: makes data and upload tasks, delivers their completions and its
// delegate's events on one delegate queue.
//
//   auto session = HttpSession::make(HttpSessionConfiguration{});
//   session->dataTask(HttpRequest(*Url::parse("https://api.example.com/x")),
//                     [](std::optional<HttpResponse> response,
//                        std::optional<std::vector<std::uint8_t>> body,
//                        std::optional<Error> error) {
//                       if (error) { ... error->code() == -1001 for a timeout ... }
//                       else { ... response->statusCode, *body ... }
//                     })
//       ->resume();
//
//   // A streamed upload with progress on the main queue:
//   auto session = HttpSession::make({}, delegate, DispatchQueue::main());
//   session->uploadTask(request, HttpBody().appendBytes(head).appendFile(path).appendBytes(tail))
//       ->resume();
//   ...
//   session->invalidateAndCancel();
//
// Every transfer of the process runs on one network thread, made on first use and kept for
// the life of the process; it drives libcurl's multi interface and shares connections between
// sessions. Callers never wait for it: all members may be called from any thread, and the
// session's tasks, delegate and completions never run on the caller's stack.
//
// The sessions of one configuration's pool share its bounds (`httpMaximumConnectionsPerHost`,
// `httpMaximumConnections`), so a session per upload still opens no more than the bounds allow:
// a resumed task counts as running at once, and its request waits in the pool's line until
// its host and the pool have a free place; one host's requests go out in the order their
// tasks were resumed, and a place freed by a completion or a cancel goes to the next in line.
// Cancelling a waiting task completes it at once. Whatever the sessions allow, the process
// keeps at most 32 idle connections and opens at most 256.
//
// A request that is not safe to repeat (POST, PATCH, anything but GET, HEAD, PUT, DELETE,
// OPTIONS and TRACE) goes out at most once per call: where a reused connection closes before
// any answer, the task fails with -1005 rather than send it again, since the server may have
// acted on it. Redirects still send it on. Only http and https URLs are fetched; redirects are
// followed; loopback addresses never go through a proxy.
//
// Errors have the platform's URL-loading identities, domain "NSURLErrorDomain":
// -999 cancelled, -1000 bad URL, -1001 timed out, -1002 unsupported URL, -1003 host not
// found, -1004 cannot connect, -1005 connection lost (also a server that closes without an
// answer), -1100 a body file that cannot be opened; messages carry libcurl's explanation.
class LUMO_API HttpSession : public std::enable_shared_from_this<HttpSession> {
 public:
  using CompletionHandler = HttpTask::CompletionHandler;

  // A session with `configuration`, the optional `delegate` (held weakly), delivering on
  // `delegateQueue`, or on a serial background queue of its own when absent.
  static std::shared_ptr<HttpSession> make(
      HttpSessionConfiguration configuration = {}, std::weak_ptr<HttpSessionDelegate> delegate = {},
      std::optional<DispatchQueue> delegateQueue = std::nullopt);

  HttpSession(const HttpSession&) = delete;
  HttpSession& operator=(const HttpSession&) = delete;

  const HttpSessionConfiguration& configuration() const { return configuration_; }
  const DispatchQueue& delegateQueue() const { return delegateQueue_; }
  // The delegate, while it lives and the session has not dropped it.
  std::shared_ptr<HttpSessionDelegate> delegate() const;

  // A suspended task sending `request` (with `request.body`, if any, for methods other than
  // GET and HEAD). `completion` may be empty: the delegate then learns the outcome alone.
  std::shared_ptr<HttpTask> dataTask(HttpRequest request, CompletionHandler completion = {});
  // A suspended task posting `body` with `request`'s method (POST unless it says otherwise),
  // streamed with a Content-Length of the body's total size; `request.body` is ignored.
  std::shared_ptr<HttpTask> uploadTask(HttpRequest request, HttpBody body,
                                       CompletionHandler completion = {});
  // As above, with the whole file at `file` as the body.
  std::shared_ptr<HttpTask> uploadTask(HttpRequest request, const std::filesystem::path& file,
                                       CompletionHandler completion = {});

  // Cancels every task of the session and invalidates it. Tasks made afterwards complete as
  // cancelled when resumed. The delegate gets `didBecomeInvalidWithError` after the last
  // completion, and is then dropped.
  void invalidateAndCancel();
  // Invalidates the session and lets its running tasks finish; as `invalidateAndCancel`
  // otherwise.
  void finishTasksAndInvalidate();

  // Transfers and network threads alive in the process.
  static HttpTransferStats stats();

 private:
  friend class HttpTask;
  struct PrivateTag {};

 public:
  HttpSession(PrivateTag, HttpSessionConfiguration configuration,
              std::weak_ptr<HttpSessionDelegate> delegate, DispatchQueue delegateQueue);

 private:
  std::shared_ptr<HttpTask> makeTask(HttpRequest request, std::unique_ptr<detail::BodyReader> body,
                                     std::optional<Error> bodyError, CompletionHandler completion);
  void invalidate(bool cancelTasks);
  bool isInvalidated() const;
  // Bookkeeping of the tasks, called by `HttpTask`.
  void taskStarted();
  void taskDelivered();  // on the delegate queue, after the task's completion and delegate call
  // Counts a task in (+1) or out (-1), or neither (0); reports the invalidation once the
  // session is invalidated and no task is active.
  void taskStartedOrDelivered(int change);
  void forgetTask(std::uint64_t identifier);

  const HttpSessionConfiguration configuration_;
  const DispatchQueue delegateQueue_;

  mutable std::mutex mu_;
  std::weak_ptr<HttpSessionDelegate> delegate_;                       // guarded by mu_
  std::unordered_map<std::uint64_t, std::weak_ptr<HttpTask>> tasks_;  // guarded by mu_
  std::size_t activeTasks_ = 0;        // guarded by mu_: resumed, completion not yet delivered
  bool invalidated_ = false;           // guarded by mu_
  bool invalidationReported_ = false;  // guarded by mu_
};

}  // namespace lumo
