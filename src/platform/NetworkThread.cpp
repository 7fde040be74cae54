#include "NetworkThread.h"

#include <pthread.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "BodyReader.h"
#include "HeaderFields.h"
#include "TransportError.h"
#include "lumo/platform/HttpSession.h"
#include "lumo/support/Fatal.h"

namespace lumo::detail {
namespace {

struct EasyDeleter {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct SListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

// Responses announce their size; reserving it up front spares the copies of a growing buffer
// for large bodies, within reason for a size that a server merely claims.
constexpr curl_off_t kMaxReserve = curl_off_t{1} << 30;
constexpr long kMaxRedirects = 16;
constexpr const char* kUserAgent = "LumoShared/0.1";
// Process-wide backstops behind the sessions' own bounds: libcurl keeps at most this many
// connections open after use (idle ones beyond it close, oldest first) ...
constexpr long kMaxCachedConnections = 32;
// ... and opens at most this many at once, whatever the sessions allow; transfers past it
// wait inside libcurl.
constexpr long kMaxOpenConnections = 256;

bool holdsLineBreak(std::string_view s) {
  return s.find_first_of("\r\n") != std::string_view::npos;
}

Error urlError(int code, std::string message) {
  return Error::transport(kURLErrorDomain, code, std::move(message));
}

Error cancelledError() {
  return urlError(URLErrorCode::kCancelled, "cancelled");
}

// Methods that may reach the server twice without harm (RFC 9110, 9.2.2).
bool isIdempotent(const std::string& method) {
  return method == "GET" || method == "HEAD" || method == "PUT" || method == "DELETE" ||
         method == "OPTIONS" || method == "TRACE";
}

}  // namespace

// One running transfer. Members are declared so that the easy handle goes first: libcurl
// refers to the header list, the body and the error buffer until `curl_easy_cleanup`.
struct Transfer {
  Transfer(std::shared_ptr<HttpTask> t, std::atomic<std::size_t>& counter)
      : task(std::move(t)), live(counter) {
    ++live;
  }
  ~Transfer() {
    easy.reset();
    --live;
  }
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  std::shared_ptr<HttpTask> task;
  std::atomic<std::size_t>& live;
  std::unique_ptr<BodyReader> body;
  std::unique_ptr<curl_slist, SListDeleter> headers;
  char errorBuffer[CURL_ERROR_SIZE] = {};
  std::vector<std::uint8_t> received;
  bool reserved = false;
  std::vector<std::pair<std::string, std::string>> headerFields;
  std::string readFailure;
  // The guard against silent re-sends: whether a request went out, whether an answer to it
  // arrived, and whether a second send without one was refused.
  bool requestSent = false;
  bool answered = false;
  bool resendRefused = false;
  std::unique_ptr<CURL, EasyDeleter> easy;

  // ---- libcurl callbacks (network thread) ----

  static size_t onData(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const size_t n = size * count;
    if (!t->reserved) {
      t->reserved = true;
      curl_off_t expected = -1;
      if (curl_easy_getinfo(t->easy.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &expected) ==
              CURLE_OK &&
          expected > 0) {
        t->received.reserve(static_cast<size_t>(std::min(expected, kMaxReserve)));
      }
    }
    t->received.insert(t->received.end(), data, data + n);
    t->task->bytesReceived_.fetch_add(static_cast<std::int64_t>(n), std::memory_order_relaxed);
    return n;
  }

  static size_t onHeader(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const size_t n = size * count;
    const std::string_view line(data, n);
    if (line.rfind("HTTP/", 0) == 0) {
      // A new answer (after a redirect or an interim 1xx): only the last one counts.
      t->headerFields.clear();
      t->answered = true;
      return n;
    }
    const std::string_view content = trim(line);
    if (content.empty()) return n;
    if ((line.front() == ' ' || line.front() == '\t') && !t->headerFields.empty()) {
      std::string& value = t->headerFields.back().second;  // a folded continuation
      value += ' ';
      value.append(content);
      return n;
    }
    const auto colon = content.find(':');
    if (colon == std::string_view::npos) return n;
    t->headerFields.emplace_back(std::string(trim(content.substr(0, colon))),
                                 std::string(trim(content.substr(colon + 1))));
    return n;
  }

  static size_t onRead(char* buffer, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const auto n = t->body->read(buffer, size * count);
    if (!n) {
      t->readFailure = t->body->failure();
      return CURL_READFUNC_ABORT;
    }
    return *n;
  }

  static int onSeek(void* user, curl_off_t offset, int origin) {
    auto* t = static_cast<Transfer*>(user);
    if (origin != SEEK_SET || offset < 0) return CURL_SEEKFUNC_CANTSEEK;
    return t->body->seek(static_cast<std::uint64_t>(offset)) ? CURL_SEEKFUNC_OK
                                                             : CURL_SEEKFUNC_FAIL;
  }

  // Called before each request goes out: the first, one after a redirect, and one that libcurl
  // sends again because a reused connection closed before any answer. The server may have
  // acted on that lost request, so a request that is not safe to repeat is not sent again.
  static int onPrereq(void* user, char*, char*, int, int) {
    auto* t = static_cast<Transfer*>(user);
    if (t->requestSent && !t->answered) {
      t->resendRefused = true;
      return CURL_PREREQFUNC_ABORT;
    }
    t->requestSent = true;
    t->answered = false;
    return CURL_PREREQFUNC_OK;
  }

  static int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t sent) {
    static_cast<Transfer*>(user)->task->reportSent(sent);
    return 0;
  }
};

NetworkThread& NetworkThread::instance() {
  static NetworkThread* thread = [] {
    auto* t = new NetworkThread();  // never destroyed
    std::thread([t] { t->run(); }).detach();
    return t;
  }();
  return *thread;
}

namespace {
std::atomic<bool> gNetworkThreadExists{false};
}  // namespace

bool NetworkThread::exists() {
  return gNetworkThreadExists.load();
}

NetworkThread::NetworkThread()
    : multi_([] {
        if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
          stopProcess("libcurl could not be initialised");
        }
        CURLM* multi = curl_multi_init();
        if (multi == nullptr) stopProcess("libcurl could not make its multi handle");
        curl_multi_setopt(multi, CURLMOPT_MAXCONNECTS, kMaxCachedConnections);
        curl_multi_setopt(multi, CURLMOPT_MAX_TOTAL_CONNECTIONS, kMaxOpenConnections);
        return multi;
      }()) {
  gNetworkThreadExists.store(true);
}

void NetworkThread::post(std::function<void()> command) {
  {
    std::lock_guard lock(mu_);
    commands_.push_back(std::move(command));
  }
  curl_multi_wakeup(multi_);
}

void NetworkThread::start(std::shared_ptr<HttpTask> task) {
  post([this, task = std::move(task)] { begin(task); });
}

void NetworkThread::cancel(std::shared_ptr<HttpTask> task) {
  post([this, task = std::move(task)] { stop(task); });
}

void NetworkThread::run() {
  pthread_setname_np(pthread_self(), "lumo-network");
  std::vector<std::function<void()>> batch;
  for (;;) {
    {
      std::lock_guard lock(mu_);
      batch.swap(commands_);
    }
    for (auto& command : batch) command();
    batch.clear();

    int running = 0;
    curl_multi_perform(multi_, &running);
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
      if (message->msg != CURLMSG_DONE) continue;
      // The message dies with the handle's removal: copy what it says first.
      CURL* easy = message->easy_handle;
      const CURLcode result = message->data.result;
      Transfer* transfer = nullptr;
      curl_easy_getinfo(easy, CURLINFO_PRIVATE, &transfer);
      complete(transfer, result);
    }

    {
      std::lock_guard lock(mu_);
      if (!commands_.empty()) continue;
    }
    curl_multi_poll(multi_, nullptr, 0, 1000, nullptr);
  }
}

void NetworkThread::begin(const std::shared_ptr<HttpTask>& task) {
  // A cancel that arrived between resume and now is queued behind this command; it ends the
  // task.
  if (task->state() != HttpTask::State::running) return;
  budget_.enqueue(task);
  startAdmitted(*task);
}

void NetworkThread::startAdmitted(const HttpTask& task) {
  // A task that fails at once gives its place back, which another may take.
  for (bool freed = true; freed;) {
    freed = false;
    for (const auto& next : budget_.admit(task)) {
      if (!launch(next)) {
        budget_.release(*next);
        freed = true;
      }
    }
  }
  waitingTransfers_.store(budget_.waiting());
}

bool NetworkThread::launch(const std::shared_ptr<HttpTask>& task) {
  auto transfer = std::make_unique<Transfer>(task, liveTransfers_);
  Transfer* t = transfer.get();
  t->body = task->takeBody();
  t->easy.reset(curl_easy_init());
  CURL* easy = t->easy.get();
  if (easy == nullptr) {
    task->finish(std::nullopt, std::nullopt,
                 urlError(URLErrorCode::kUnknown, "libcurl could not make a transfer"));
    return false;
  }

  const HttpRequest& request = task->originalRequest();
  const HttpSessionConfiguration& config = task->session()->configuration();

  // Header fields: the session's additional ones the request does not set, then the
  // request's own, in order.
  std::vector<std::pair<std::string, std::string>> fields;
  for (const auto& [name, value] : config.httpAdditionalHeaders) {
    if (!request.value(name)) fields.emplace_back(name, value);
  }
  fields.insert(fields.end(), request.headerFields.begin(), request.headerFields.end());
  // Bodies over 1 MiB would otherwise wait for a "100 Continue" first.
  if (!request.value("Expect")) fields.emplace_back("Expect", "");
  // libcurl would label every POST body as a form; the caller says what a body is.
  const bool hasContentType = std::any_of(fields.begin(), fields.end(), [](const auto& field) {
    return equalsIgnoringCase(field.first, "Content-Type");
  });
  if (!hasContentType) fields.emplace_back("Content-Type", "");
  for (const auto& [name, value] : fields) {
    if (name.empty() || holdsLineBreak(name) || holdsLineBreak(value) ||
        name.find(':') != std::string::npos) {
      task->finish(std::nullopt, std::nullopt,
                   urlError(URLErrorCode::kBadURL,
                            "bad URL (the header field \"" + name + "\" is not valid)"));
      return false;
    }
    // "Name:" makes libcurl drop its own field of that name (wanted for Expect and the form
    // Content-Type only); "Name;" sends the field empty.
    std::string line;
    if (value.empty()) {
      const bool drop = equalsIgnoringCase(name, "Expect") ||
                        (equalsIgnoringCase(name, "Content-Type") && !hasContentType);
      line = drop ? name + ":" : name + ";";
    } else {
      line = name + ": " + value;
    }
    curl_slist* next = curl_slist_append(t->headers.get(), line.c_str());
    if (next == nullptr) {
      task->finish(std::nullopt, std::nullopt,
                   urlError(URLErrorCode::kUnknown, "out of memory for the header fields"));
      return false;
    }
    (void)t->headers.release();  // `next` is the same list, grown: own it again below
    t->headers.reset(next);
  }
  const std::string& method = request.method;
  if (method.empty() || method.find_first_of(" \t\r\n") != std::string::npos) {
    task->finish(
        std::nullopt, std::nullopt,
        urlError(URLErrorCode::kBadURL, "bad URL (the method \"" + method + "\" is not valid)"));
    return false;
  }

  // Idle timeout: no byte moved for that long fails the transfer; connecting gets as long.
  std::int64_t idleMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                            request.timeoutInterval.value_or(config.timeoutIntervalForRequest))
                            .count();
  if (config.maximumIdleTimeout) {
    idleMs = std::min<std::int64_t>(idleMs, config.maximumIdleTimeout->count());
  }
  idleMs = std::max<std::int64_t>(idleMs, 1);

  curl_easy_setopt(easy, CURLOPT_PRIVATE, t);
  curl_easy_setopt(easy, CURLOPT_URL, request.url.absoluteString().c_str());
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(easy, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_NOPROXY, "localhost,127.0.0.1,::1");
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, t->errorBuffer);
  curl_easy_setopt(easy, CURLOPT_USERAGENT, kUserAgent);
  curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, static_cast<long>((idleMs + 999) / 1000));
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(idleMs));
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, t->headers.get());
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::onData);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, t);
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, t);
  if (!isIdempotent(method)) {
    curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, &Transfer::onPrereq);
    curl_easy_setopt(easy, CURLOPT_PREREQDATA, t);
  }

  const bool bodyless = method == "GET" || method == "HEAD";
  if (method == "HEAD") {
    curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
  } else if (!bodyless && (t->body || method == "POST" || method == "PUT" || method == "PATCH")) {
    if (!t->body) {
      // An empty body still announces itself with "Content-Length: 0".
      auto empty = BodyReader::open(HttpBody());
      t->body = std::move(*empty);
    }
    curl_easy_setopt(easy, CURLOPT_POST, 1L);
    curl_easy_setopt(easy, CURLOPT_READFUNCTION, &Transfer::onRead);
    curl_easy_setopt(easy, CURLOPT_READDATA, t);
    curl_easy_setopt(easy, CURLOPT_SEEKFUNCTION, &Transfer::onSeek);
    curl_easy_setopt(easy, CURLOPT_SEEKDATA, t);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(t->body->size()));
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &Transfer::onProgress);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, t);
    if (method != "POST") curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
  } else if (method != "GET") {
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
  }

  if (curl_multi_add_handle(multi_, easy) != CURLM_OK) {
    task->finish(std::nullopt, std::nullopt,
                 urlError(URLErrorCode::kUnknown, "libcurl refused the transfer"));
    return false;
  }
  transfers_.emplace(task->taskIdentifier(), std::move(transfer));
  return true;
}

void NetworkThread::stop(const std::shared_ptr<HttpTask>& task) {
  auto it = transfers_.find(task->taskIdentifier());
  const bool held = it != transfers_.end();
  if (held) {
    // Removal stops the transfer at once and reports nothing: the cancel is ours to report.
    curl_multi_remove_handle(multi_, it->second->easy.get());
    transfers_.erase(it);
    budget_.release(*task);
  } else {
    budget_.withdraw(*task);  // a waiting task held no place: it frees none
  }
  task->finish(std::nullopt, std::nullopt, cancelledError());
  if (held) startAdmitted(*task);
  waitingTransfers_.store(budget_.waiting());
}

void NetworkThread::complete(Transfer* transfer, CURLcode result) {
  auto it = transfers_.find(transfer->task->taskIdentifier());
  if (it == transfers_.end()) return;
  std::unique_ptr<Transfer> owned = std::move(it->second);
  transfers_.erase(it);
  curl_multi_remove_handle(multi_, owned->easy.get());
  budget_.release(*owned->task);
  deliver(*owned, result);
  startAdmitted(*owned->task);
}

void NetworkThread::deliver(Transfer& transfer, CURLcode result) {
  Transfer* owned = &transfer;
  CURL* easy = owned->easy.get();
  const std::shared_ptr<HttpTask>& task = owned->task;
  if (result != CURLE_OK) {
    if (result == CURLE_ABORTED_BY_CALLBACK && owned->resendRefused) {
      task->finish(std::nullopt, std::nullopt,
                   urlError(URLErrorCode::kNetworkConnectionLost,
                            "The network connection was lost. (the connection closed before an "
                            "answer; a request that is not safe to repeat is not sent again)"));
    } else if (result == CURLE_ABORTED_BY_CALLBACK && !owned->readFailure.empty()) {
      task->finish(std::nullopt, std::nullopt,
                   urlError(URLErrorCode::kUnknown,
                            "The upload's body could not be read: " + owned->readFailure));
    } else {
      task->finish(std::nullopt, std::nullopt, transportError(result, owned->errorBuffer));
    }
    return;
  }

  // The last progress report reaches the bytes sent, even when libcurl's last progress call
  // came before the final write.
  curl_off_t uploaded = 0;
  if (owned->body && curl_easy_getinfo(easy, CURLINFO_SIZE_UPLOAD_T, &uploaded) == CURLE_OK) {
    task->reportSent(uploaded, /*last=*/true);
  }

  long status = 0;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
  if (status == 0) {
    task->finish(std::nullopt, std::move(owned->received), std::nullopt);
    return;
  }
  // The answer comes from the URL asked for unless a redirect was followed; parsing the
  // effective URL costs more than the rest of a small exchange.
  long redirects = 0;
  curl_easy_getinfo(easy, CURLINFO_REDIRECT_COUNT, &redirects);
  const char* effective = nullptr;
  if (redirects > 0) curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &effective);
  std::optional<Url> answered = effective != nullptr ? Url::parse(effective) : std::nullopt;
  HttpResponse response{answered.value_or(task->originalRequest().url), status,
                        std::move(owned->headerFields)};
  task->finish(std::move(response), std::move(owned->received), std::nullopt);
}

}  // namespace lumo::detail
