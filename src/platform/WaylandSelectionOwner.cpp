#include "WaylandSelectionOwner.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "PollTimeout.h"
#include "wlr-data-control-unstable-v1-client-protocol.h"

namespace lumo {
namespace {

using Clock = std::chrono::steady_clock;

// How long a paster may take to read the text before we drop the transfer.
constexpr std::chrono::seconds kTransferTimeout{5};

// What pasters may ask for. STRING is Latin-1: offered only for ASCII texts, which read the same
// in both.
constexpr std::string_view kUtf8Types[] = {"text/plain;charset=utf-8", "UTF8_STRING", "TEXT",
                                           "text/plain"};
constexpr std::string_view kAsciiType = "STRING";

bool ascii(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

bool served(std::string_view type, std::string_view text) {
  return std::find(std::begin(kUtf8Types), std::end(kUtf8Types), type) != std::end(kUtf8Types) ||
         (type == kAsciiType && ascii(text));
}

template <auto Destroy>
struct Destroyer {
  template <typename T>
  void operator()(T* proxy) const {
    Destroy(proxy);
  }
};
template <typename T, auto Destroy>
using Handle = std::unique_ptr<T, Destroyer<Destroy>>;
using Callback = Handle<wl_callback, &wl_callback_destroy>;

// A socket connected to the compositor of `name` (WAYLAND_DISPLAY's forms) within `deadline`.
FileDescriptor connectSocket(const std::string& name, Clock::time_point deadline) {
  std::string path = name;
  if (!name.starts_with('/')) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");  // NOLINT(concurrency-mt-unsafe)
    if (!runtime || !*runtime || name.empty()) return {};
    path = std::string(runtime) + "/" + name;
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return {};
  std::memcpy(address.sun_path, path.data(), path.size());

  FileDescriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd) return {};
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    return fd;
  }
  if (errno != EINPROGRESS && errno != EAGAIN && errno != EINTR) return {};
  pollfd p{fd.get(), POLLOUT, 0};
  int error = 0;
  socklen_t size = sizeof error;
  if (::poll(&p, 1, detail::pollTimeout(deadline)) != 1 ||
      ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
    return {};
  }
  return fd;
}

// Reads and dispatches what the compositor sent, waiting for it until `deadline` at most; for
// the set-up, before the serving thread runs. False on a failed connection or at the deadline.
bool dispatchOnce(wl_display* display, Clock::time_point deadline) {
  while (wl_display_prepare_read(display) != 0) {
    if (wl_display_dispatch_pending(display) < 0) return false;
  }
  short events = POLLIN;
  if (wl_display_flush(display) < 0 && errno == EAGAIN) events |= POLLOUT;
  pollfd p{wl_display_get_fd(display), events, 0};
  const int ready = ::poll(&p, 1, detail::pollTimeout(deadline));
  if (ready > 0 && (p.revents & POLLIN)) {
    if (wl_display_read_events(display) < 0) return false;
  } else {
    wl_display_cancel_read(display);
    if (ready == 0 || (ready < 0 && errno != EINTR)) return false;
  }
  return wl_display_dispatch_pending(display) >= 0 && wl_display_get_error(display) == 0;
}

void setFlag(void* flag, wl_callback*, std::uint32_t) {
  *static_cast<bool*>(flag) = true;
}
constexpr wl_callback_listener kFlagSetter{&setFlag};

bool roundtrip(wl_display* display, Clock::time_point deadline) {
  bool done = false;
  Callback callback(wl_display_sync(display));
  if (!callback) return false;
  wl_callback_add_listener(callback.get(), &kFlagSetter, &done);
  while (!done) {
    if (!dispatchOnce(display, deadline)) return false;
  }
  return true;
}

}  // namespace

struct WaylandSelectionOwner::Session {
  struct Disconnect {
    void operator()(wl_display* display) const { wl_display_disconnect(display); }
  };
  // One source per `own`: alive until the compositor cancels it or we go.
  struct Source {
    Handle<zwlr_data_control_source_v1, &zwlr_data_control_source_v1_destroy> proxy;
    std::shared_ptr<const std::string> text;
    bool cancelled = false;
  };
  // A call waiting for the compositor to have handled everything sent before it.
  struct Pending {
    Session* session = nullptr;
    Callback callback;
    Call call;
    std::shared_ptr<Source> source;  // the source the call set as the selection, for `own`
  };
  // The text going to one paster.
  struct Transfer {
    FileDescriptor fd;
    std::shared_ptr<const std::string> text;
    std::size_t written = 0;
    Clock::time_point deadline;
  };

  // Destroyed last: the proxies below go first.
  std::unique_ptr<wl_display, Disconnect> display;
  Handle<wl_registry, &wl_registry_destroy> registry;
  Handle<wl_seat, &wl_seat_destroy> seat;
  Handle<zwlr_data_control_manager_v1, &zwlr_data_control_manager_v1_destroy> manager;
  Handle<zwlr_data_control_device_v1, &zwlr_data_control_device_v1_destroy> device;
  Handle<zwlr_data_control_offer_v1, &zwlr_data_control_offer_v1_destroy> selectionOffer;
  Handle<zwlr_data_control_offer_v1, &zwlr_data_control_offer_v1_destroy> primaryOffer;
  std::uint32_t seatName = 0, managerName = 0;
  std::vector<std::shared_ptr<Source>> sources;  // not cancelled yet
  std::shared_ptr<Source> current;               // the selection, as far as we know
  std::vector<std::unique_ptr<Pending>> pending;
  std::vector<Transfer> transfers;
  bool gone = false;  // the connection failed or the seat or the manager went
  WaylandSelectionOwner* owner = nullptr;

  static const wl_registry_listener kRegistry;
  static const zwlr_data_control_device_v1_listener kDevice;
  static const zwlr_data_control_source_v1_listener kSource;
  static const wl_callback_listener kDone;

  void start(Call call);
  void finish(Pending* done);
  void send(Source* source, const char* type, int fd);
  void cancel(Source* source);
  bool progress(Transfer& transfer);
};

const wl_registry_listener WaylandSelectionOwner::Session::kRegistry{
    [](void* data, wl_registry* registry, std::uint32_t name, const char* interface,
       std::uint32_t) {
      auto& session = *static_cast<Session*>(data);
      // Version 1 has all we use: the regular selection.
      if (!session.manager &&
          std::strcmp(interface, zwlr_data_control_manager_v1_interface.name) == 0) {
        session.manager.reset(static_cast<zwlr_data_control_manager_v1*>(
            wl_registry_bind(registry, name, &zwlr_data_control_manager_v1_interface, 1)));
        session.managerName = name;
      } else if (!session.seat && std::strcmp(interface, wl_seat_interface.name) == 0) {
        session.seat.reset(
            static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1)));
        session.seatName = name;
      }
    },
    [](void* data, wl_registry*, std::uint32_t name) {
      auto& session = *static_cast<Session*>(data);
      if (name == session.seatName || name == session.managerName) session.gone = true;
    }};

const zwlr_data_control_device_v1_listener WaylandSelectionOwner::Session::kDevice{
    // Offers of other clients' data, which we never read: each is named by the selection
    // event that follows it, and destroyed when the next one replaces it.
    [](void*, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1*) {},
    [](void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer) {
      static_cast<Session*>(data)->selectionOffer.reset(offer);
    },
    [](void* data, zwlr_data_control_device_v1*) { static_cast<Session*>(data)->gone = true; },
    [](void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer) {
      static_cast<Session*>(data)->primaryOffer.reset(offer);
    }};

const zwlr_data_control_source_v1_listener WaylandSelectionOwner::Session::kSource{
    [](void* data, zwlr_data_control_source_v1* proxy, const char* type, std::int32_t fd) {
      auto* session = static_cast<Session*>(data);
      for (const auto& source : session->sources) {
        if (source->proxy.get() == proxy) return session->send(source.get(), type, fd);
      }
      ::close(fd);
    },
    [](void* data, zwlr_data_control_source_v1* proxy) {
      auto* session = static_cast<Session*>(data);
      for (const auto& source : session->sources) {
        if (source->proxy.get() == proxy) return session->cancel(source.get());
      }
    }};

const wl_callback_listener WaylandSelectionOwner::Session::kDone{
    [](void* data, wl_callback*, std::uint32_t) {
      auto* pending = static_cast<Pending*>(data);
      pending->session->finish(pending);
    }};

void WaylandSelectionOwner::Session::start(Call call) {
  auto entry = std::make_unique<Pending>();
  entry->session = this;
  if (call.text) {
    auto source = std::make_shared<Source>();
    source->proxy.reset(zwlr_data_control_manager_v1_create_data_source(manager.get()));
    source->text = std::make_shared<const std::string>(*call.text);
    zwlr_data_control_source_v1_add_listener(source->proxy.get(), &kSource, this);
    for (std::string_view type : kUtf8Types) {
      zwlr_data_control_source_v1_offer(source->proxy.get(), std::string(type).c_str());
    }
    if (ascii(*source->text)) {
      zwlr_data_control_source_v1_offer(source->proxy.get(), std::string(kAsciiType).c_str());
    }
    zwlr_data_control_device_v1_set_selection(device.get(), source->proxy.get());
    sources.push_back(source);
    entry->source = std::move(source);
  }
  // The compositor answers the sync after it has handled the selection, and sends any
  // `cancelled` of our source before that answer.
  entry->callback.reset(wl_display_sync(display.get()));
  entry->call = std::move(call);
  wl_callback_add_listener(entry->callback.get(), &kDone, entry.get());
  pending.push_back(std::move(entry));
}

void WaylandSelectionOwner::Session::finish(Pending* done) {
  Answer answer;
  if (done->call.text) {
    answer.owned = done->source && !done->source->cancelled;
    if (answer.owned) current = done->source;
  } else if (current && !current->cancelled) {
    answer.owned = true;
    answer.text = *current->text;
  }
  owner->answer(done->call.id, std::move(answer));
  // Destroys the callback from its own event, which libwayland allows.
  std::erase_if(pending, [done](const auto& entry) { return entry.get() == done; });
}

void WaylandSelectionOwner::Session::cancel(Source* source) {
  source->cancelled = true;
  source->proxy.reset();
  if (current.get() == source) current.reset();
  // Transfers under way keep their text.
  std::erase_if(sources, [source](const auto& entry) { return entry.get() == source; });
}

void WaylandSelectionOwner::Session::send(Source* source, const char* type, int fd) {
  Transfer transfer{FileDescriptor(fd), source->text, 0, Clock::now() + kTransferTimeout};
  if (!served(type, *source->text)) return;  // closes the descriptor: nothing in that type
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return;
  if (progress(transfer)) transfers.push_back(std::move(transfer));
}

// Writes what the pipe takes now. True while there is more to write.
bool WaylandSelectionOwner::Session::progress(Transfer& transfer) {
  while (transfer.written < transfer.text->size()) {
    const ssize_t n = ::write(transfer.fd.get(), transfer.text->data() + transfer.written,
                              transfer.text->size() - transfer.written);
    if (n > 0) {
      transfer.written += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      return Clock::now() < transfer.deadline;
    } else {
      if (n < 0 && errno == EPIPE) {
        // The paster closed its end: take the SIGPIPE this thread blocks off its pending set.
        sigset_t pipeSignal;
        sigemptyset(&pipeSignal);
        sigaddset(&pipeSignal, SIGPIPE);
        const timespec noWait{0, 0};
        while (sigtimedwait(&pipeSignal, nullptr, &noWait) < 0 && errno == EINTR) {
        }
      }
      return false;
    }
  }
  return false;
}

std::unique_ptr<WaylandSelectionOwner> WaylandSelectionOwner::connect(
    const std::string& waylandDisplay, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  FileDescriptor socket = connectSocket(waylandDisplay, deadline);
  if (!socket) return nullptr;
  auto session = std::make_unique<Session>();
  // The display owns the socket from here, and closes it even when it fails.
  session->display.reset(wl_display_connect_to_fd(socket.release()));
  if (!session->display) return nullptr;
  wl_display* const display = session->display.get();
  session->registry.reset(wl_display_get_registry(display));
  wl_registry_add_listener(session->registry.get(), &Session::kRegistry, session.get());
  if (!roundtrip(display, deadline) || !session->manager || !session->seat) return nullptr;
  session->device.reset(
      zwlr_data_control_manager_v1_get_data_device(session->manager.get(), session->seat.get()));
  zwlr_data_control_device_v1_add_listener(session->device.get(), &Session::kDevice, session.get());
  // The device's first event tells the current selection: the compositor took it.
  if (!roundtrip(display, deadline) || session->gone) return nullptr;

  FileDescriptor wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wake) return nullptr;
  return std::unique_ptr<WaylandSelectionOwner>(
      new WaylandSelectionOwner(waylandDisplay, std::move(session), std::move(wake)));
}

WaylandSelectionOwner::WaylandSelectionOwner(std::string display, std::unique_ptr<Session> session,
                                             FileDescriptor wake)
    : display_(std::move(display)), session_(std::move(session)), wake_(std::move(wake)) {
  session_->owner = this;
  thread_ = std::thread(&WaylandSelectionOwner::serve, this);
}

WaylandSelectionOwner::~WaylandSelectionOwner() {
  {
    std::lock_guard lock(mu_);
    stopping_ = true;
  }
  wake();
  thread_.join();
}

bool WaylandSelectionOwner::usable() const {
  std::lock_guard lock(mu_);
  return !broken_;
}

void WaylandSelectionOwner::wake() {
  const std::uint64_t one = 1;
  while (::write(wake_.get(), &one, sizeof one) < 0 && errno == EINTR) {
  }
}

bool WaylandSelectionOwner::own(std::string_view text, std::chrono::milliseconds timeout) {
  const auto answer = ask(std::string(text), timeout);
  return answer && answer->owned;
}

std::optional<std::string> WaylandSelectionOwner::ownedText(std::chrono::milliseconds timeout) {
  auto answer = ask(std::nullopt, timeout);
  return answer ? std::move(answer->text) : std::nullopt;
}

std::optional<WaylandSelectionOwner::Answer> WaylandSelectionOwner::ask(
    std::optional<std::string> text, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mu_);
  if (broken_) return std::nullopt;
  const std::uint64_t id = ++lastCall_;
  calls_.push_back(Call{id, std::move(text)});
  wake();
  const bool answered = answered_.wait_for(lock, timeout, [&] { return answers_.contains(id); });
  if (!answered) {
    // A compositor that misses the bound counts as gone. The answer, if it ever comes, stays
    // in `answers_` until the owner is destroyed; no call follows.
    broken_ = true;
    return std::nullopt;
  }
  const auto entry = answers_.find(id);
  Answer answer = std::move(entry->second);
  answers_.erase(entry);
  return answer;
}

void WaylandSelectionOwner::answer(std::uint64_t id, Answer answer) {
  {
    std::lock_guard lock(mu_);
    answers_.emplace(id, std::move(answer));
  }
  answered_.notify_all();
}

void WaylandSelectionOwner::failAll() {
  {
    std::lock_guard lock(mu_);
    broken_ = true;
    for (const Call& call : calls_) answers_.emplace(call.id, Answer{});
    calls_.clear();
    for (const auto& entry : session_->pending) answers_.emplace(entry->call.id, Answer{});
  }
  session_->pending.clear();
  answered_.notify_all();
}

void WaylandSelectionOwner::serve() {
  // A paster that closes its end makes our write raise SIGPIPE, which would end the host: it
  // stays blocked on this thread, and `progress` takes it off again.
  sigset_t pipeSignal;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);

  Session& s = *session_;
  wl_display* const display = s.display.get();
  std::vector<pollfd> fds;
  while (true) {
    std::deque<Call> calls;
    {
      std::lock_guard lock(mu_);
      if (stopping_) return;
      if (!s.gone) calls.swap(calls_);
    }
    for (Call& call : calls) s.start(std::move(call));

    fds.assign({{wake_.get(), POLLIN, 0}, {-1, 0, 0}});
    if (!s.gone) {
      while (wl_display_prepare_read(display) != 0) wl_display_dispatch_pending(display);
      fds[1] = {wl_display_get_fd(display), POLLIN, 0};
      if (wl_display_flush(display) < 0 && errno == EAGAIN) fds[1].events |= POLLOUT;
    }
    auto deadline = Clock::time_point::max();
    for (const auto& transfer : s.transfers) {
      fds.push_back({transfer.fd.get(), POLLOUT, 0});
      deadline = std::min(deadline, transfer.deadline);
    }
    const int timeout = s.transfers.empty() ? -1 : detail::pollTimeout(deadline);
    const int ready = ::poll(fds.data(), fds.size(), timeout);

    if (fds[1].fd >= 0) {
      const bool readable = ready > 0 && (fds[1].revents & POLLIN);
      if (readable ? wl_display_read_events(display) < 0
                   : (wl_display_cancel_read(display), false)) {
        s.gone = true;
      }
      if (wl_display_dispatch_pending(display) < 0 || wl_display_get_error(display) != 0) {
        s.gone = true;
      }
      if (s.gone) failAll();
    }
    if (fds[0].revents & POLLIN) {
      std::uint64_t count = 0;
      [[maybe_unused]] auto n = ::read(wake_.get(), &count, sizeof count);
    }
    // Transfers started by this round's events have no entry in `fds` yet: they wrote once.
    for (std::size_t i = 0; i + 2 < fds.size(); ++i) {
      Session::Transfer& transfer = s.transfers[i];
      const bool more =
          fds[i + 2].revents ? s.progress(transfer) : Clock::now() < transfer.deadline;
      if (!more) transfer.fd.reset();
    }
    std::erase_if(s.transfers, [](const auto& transfer) { return !transfer.fd; });
  }
}

}  // namespace lumo
