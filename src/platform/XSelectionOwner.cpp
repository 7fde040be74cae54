#include "XSelectionOwner.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <utility>
#include <vector>

#include "PollTimeout.h"

namespace lumo {

struct XSelectionOwner::Atoms {
  xcb_atom_t clipboard, targets, utf8String, text, textPlainUtf8, timestamp, multiple, atomPair,
      timeProperty;
};

namespace {

// A reply from xcb, freed with free() as xcb asks.
template <typename T>
struct Reply {
  T* value;
  explicit Reply(T* v) : value(v) {}
  ~Reply() { std::free(value); }
  Reply(const Reply&) = delete;
  Reply& operator=(const Reply&) = delete;
  T* operator->() const { return value; }
  explicit operator bool() const { return value != nullptr; }
};

// `utf8` as ISO 8859-1, which is what a STRING holds; absent when a character has no
// Latin-1 form or the bytes are not UTF-8.
std::optional<std::string> latin1(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const auto byte = static_cast<unsigned char>(utf8[i]);
    if (byte < 0x80) {
      out.push_back(static_cast<char>(byte));
    } else if ((byte == 0xC2 || byte == 0xC3) && i + 1 < utf8.size() &&
               (static_cast<unsigned char>(utf8[i + 1]) & 0xC0) == 0x80) {
      const auto next = static_cast<unsigned char>(utf8[++i]);
      out.push_back(static_cast<char>(((byte & 0x03) << 6) | (next & 0x3F)));
    } else {
      return std::nullopt;
    }
  }
  return out;
}

}  // namespace

std::unique_ptr<XSelectionOwner> XSelectionOwner::connect(const std::string& display) {
  int screenNumber = 0;
  // xcb_connect reads the X authority through libXau, which keeps the file's name in a static
  // buffer: one connection at a time in the process. Only the clipboard's connection workers
  // wait here, never a copy, which keeps to its own deadline.
  static std::mutex connecting;
  std::unique_lock serialised(connecting);
  Connection handle(xcb_connect(display.c_str(), &screenNumber));
  serialised.unlock();
  xcb_connection_t* const connection = handle.get();
  if (xcb_connection_has_error(connection)) return nullptr;

  xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
  for (int i = 0; i < screenNumber && screens.rem > 0; ++i) xcb_screen_next(&screens);
  if (screens.rem == 0) return nullptr;

  // An input-only window that is never mapped: it exists to own the selection, to name it in
  // the events the server sends, and to earn server times from changes to its own property.
  const xcb_window_t window = xcb_generate_id(connection);
  const std::uint32_t events = XCB_EVENT_MASK_PROPERTY_CHANGE;
  const xcb_void_cookie_t created = xcb_create_window_checked(
      connection, XCB_COPY_FROM_PARENT, window, screens.data->root, 0, 0, 1, 1, 0,
      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &events);
  static constexpr std::string_view kNames[] = {"CLIPBOARD",
                                                "TARGETS",
                                                "UTF8_STRING",
                                                "TEXT",
                                                "text/plain;charset=utf-8",
                                                "TIMESTAMP",
                                                "MULTIPLE",
                                                "ATOM_PAIR",
                                                "_LUMO_SELECTION_TIME"};
  std::vector<xcb_intern_atom_cookie_t> cookies;
  for (std::string_view name : kNames) {
    cookies.push_back(
        xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(name.size()), name.data()));
  }
  if (xcb_generic_error_t* error = xcb_request_check(connection, created)) {
    std::free(error);
    return nullptr;
  }
  std::vector<xcb_atom_t> atoms;
  for (auto cookie : cookies) {
    Reply reply(xcb_intern_atom_reply(connection, cookie, nullptr));
    if (!reply) return nullptr;
    atoms.push_back(reply->atom);
  }

  FileDescriptor wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wake) return nullptr;
  auto names = std::make_unique<Atoms>(Atoms{atoms[0], atoms[1], atoms[2], atoms[3], atoms[4],
                                             atoms[5], atoms[6], atoms[7], atoms[8]});
  return std::unique_ptr<XSelectionOwner>(
      new XSelectionOwner(std::move(handle), window, std::move(names), std::move(wake)));
}

void XSelectionOwner::Disconnect::operator()(xcb_connection_t* connection) const {
  xcb_disconnect(connection);
}

XSelectionOwner::XSelectionOwner(Connection connection, std::uint32_t window,
                                 std::unique_ptr<Atoms> atoms, FileDescriptor wake)
    : connection_(std::move(connection)),
      window_(window),
      atoms_(std::move(atoms)),
      wake_(std::move(wake)) {
  // ChangeProperty's own fields take 24 of the bytes a request may have.
  const std::size_t maxRequest =
      std::size_t{xcb_get_setup(connection_.get())->maximum_request_length} * 4;
  maxText_ = maxRequest > 24 ? maxRequest - 24 : 0;
  thread_ = std::thread(&XSelectionOwner::serve, this);
}

XSelectionOwner::~XSelectionOwner() {
  {
    std::lock_guard lock(mu_);
    stopping_ = true;
  }
  read_.notify_all();
  wake();
  thread_.join();
}

bool XSelectionOwner::usable() const {
  return xcb_connection_has_error(connection_.get()) == 0;
}

void XSelectionOwner::wake() {
  const std::uint64_t one = 1;
  while (::write(wake_.get(), &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void* XSelectionOwner::reply(unsigned sequence, Clock::time_point deadline, bool serving) {
  xcb_connection_t* const connection = connection_.get();
  void* result = nullptr;
  while (true) {
    std::uint64_t seen = 0;
    {
      std::lock_guard lock(mu_);
      seen = reads_;
    }
    xcb_generic_error_t* error = nullptr;
    if (xcb_poll_for_reply(connection, sequence, &result, &error)) {
      std::free(error);
      break;
    }
    if (Clock::now() >= deadline) break;
    if (serving) {
      pollfd fd{xcb_get_file_descriptor(connection), POLLIN, 0};
      ::poll(&fd, 1, detail::pollTimeout(deadline));
      continue;
    }
    // `serve` reads the connection; it says when it has.
    std::unique_lock lock(mu_);
    read_.wait_until(lock, deadline, [&] { return reads_ != seen || stopping_; });
    if (stopping_) break;
  }
  // Looking for the reply may have read events that `serve` has not seen come in. Woken only
  // now, or each of its rounds would wake us, and each of our looks it.
  if (!serving) wake();
  return result;
}

bool XSelectionOwner::own(std::string_view text, Clock::time_point deadline) {
  if (text.size() > maxText_) return false;
  std::lock_guard owning(owning_);
  xcb_connection_t* const connection = connection_.get();
  std::uint64_t before = 0;
  {
    std::lock_guard lock(mu_);
    before = propertyChanges_;
  }
  // A zero-length append changes nothing, but the server answers it with a PropertyNotify that
  // carries its time: the ownership is dated by the server's clock, as ICCCM asks, not by
  // CurrentTime.
  xcb_change_property(connection, XCB_PROP_MODE_APPEND, window_, atoms_->timeProperty,
                      XCB_ATOM_INTEGER, 32, 0, nullptr);
  xcb_flush(connection);
  wake();  // a flush reads what has come in, too
  xcb_timestamp_t time = XCB_CURRENT_TIME;
  {
    std::unique_lock lock(mu_);
    if (!read_.wait_until(lock, deadline,
                          [&] { return propertyChanges_ != before || stopping_; }) ||
        stopping_) {
      return false;
    }
    time = propertyTime_;
    text_ = std::string(text);
    ownTime_ = time;
    ownRequest_ = xcb_set_selection_owner(connection, window_, atoms_->clipboard, time).sequence;
  }
  // Another client that took the selection after our time keeps it: the server ignores an
  // older claim, and the query below says so.
  const unsigned query = xcb_get_selection_owner(connection, atoms_->clipboard).sequence;
  xcb_flush(connection);
  Reply reply(static_cast<xcb_get_selection_owner_reply_t*>(this->reply(query, deadline, false)));
  const bool owned = reply && reply->owner == window_;
  if (!owned) {
    std::lock_guard lock(mu_);
    text_.reset();
  }
  return owned;
}

std::optional<std::string> XSelectionOwner::ownedText(Clock::time_point deadline) {
  xcb_connection_t* const connection = connection_.get();
  const unsigned query = xcb_get_selection_owner(connection, atoms_->clipboard).sequence;
  xcb_flush(connection);
  Reply reply(static_cast<xcb_get_selection_owner_reply_t*>(this->reply(query, deadline, false)));
  if (!reply || reply->owner != window_) return std::nullopt;
  std::lock_guard lock(mu_);
  return text_;
}

void XSelectionOwner::serve() {
  const int xfd = xcb_get_file_descriptor(connection_.get());
  while (true) {
    while (xcb_generic_event_t* event = xcb_poll_for_event(connection_.get())) {
      switch (event->response_type & 0x7F) {
        case XCB_SELECTION_REQUEST:
          answer(event);
          break;
        case XCB_SELECTION_CLEAR:
          clear(event);
          break;
        case XCB_PROPERTY_NOTIFY: {
          const auto* notify = reinterpret_cast<const xcb_property_notify_event_t*>(event);
          if (notify->window == window_ && notify->atom == atoms_->timeProperty) {
            std::lock_guard lock(mu_);
            propertyTime_ = notify->time;
            ++propertyChanges_;
            read_.notify_all();
          }
          break;
        }
        default:  // errors of requestors that went away, among others
          break;
      }
      std::free(event);
    }
    {
      std::lock_guard lock(mu_);
      // Replies waited for on other threads may have come in with what we read: the last
      // xcb_poll_for_event read the connection whatever woke us.
      ++reads_;
      read_.notify_all();
      if (stopping_) return;
    }
    if (xcb_connection_has_error(connection_.get())) return;
    pollfd fds[2] = {{xfd, POLLIN, 0}, {wake_.get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
    if (fds[1].revents & POLLIN) {
      std::uint64_t count = 0;
      [[maybe_unused]] auto n = ::read(wake_.get(), &count, sizeof count);
    }
  }
}

void XSelectionOwner::answer(const void* event) {
  const auto& request = *static_cast<const xcb_selection_request_event_t*>(event);
  // Clients from before ICCCM 2 name no property: the target's name serves as one.
  const xcb_atom_t property = request.property == XCB_NONE ? request.target : request.property;
  std::optional<std::string> text;
  xcb_timestamp_t ownTime = 0;
  {
    std::lock_guard lock(mu_);
    text = text_;
    ownTime = ownTime_;
  }
  // A request dated before we took the selection asks for an earlier owner's contents.
  const bool current =
      request.time == XCB_CURRENT_TIME || static_cast<std::int32_t>(request.time - ownTime) >= 0;
  const bool given = text && current && request.owner == window_ &&
                     request.selection == atoms_->clipboard &&
                     convert(request.requestor, request.target, property, *text, ownTime, false);

  xcb_selection_notify_event_t notify{};
  notify.response_type = XCB_SELECTION_NOTIFY;
  notify.time = request.time;
  notify.requestor = request.requestor;
  notify.selection = request.selection;
  notify.target = request.target;
  notify.property = given ? property : XCB_NONE;
  // SendEvent carries 32 bytes whatever the event's own size.
  char wire[32] = {};
  static_assert(sizeof notify <= sizeof wire);
  std::memcpy(wire, &notify, sizeof notify);
  xcb_send_event(connection_.get(), 0, request.requestor, XCB_EVENT_MASK_NO_EVENT, wire);
  xcb_flush(connection_.get());
}

bool XSelectionOwner::convert(std::uint32_t requestor, std::uint32_t target, std::uint32_t property,
                              const std::string& text, std::uint32_t time, bool nested) {
  xcb_connection_t* const connection = connection_.get();
  const Atoms& a = *atoms_;
  auto put = [&](xcb_atom_t type, std::uint8_t format, std::size_t count, const void* data) {
    // A larger one would need an INCR transfer.
    if (count * format / 8 > maxText_) return false;
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, requestor, property, type, format,
                        static_cast<std::uint32_t>(count), data);
    return true;
  };
  if (target == a.targets) {
    const xcb_atom_t targets[] = {a.targets,       a.timestamp, a.multiple,     a.utf8String,
                                  a.textPlainUtf8, a.text,      XCB_ATOM_STRING};
    return put(XCB_ATOM_ATOM, 32, std::size(targets), targets);
  }
  if (target == a.timestamp) return put(XCB_ATOM_INTEGER, 32, 1, &time);
  if (target == a.utf8String || target == a.text) {
    return put(a.utf8String, 8, text.size(), text.data());
  }
  if (target == a.textPlainUtf8) return put(a.textPlainUtf8, 8, text.size(), text.data());
  if (target == XCB_ATOM_STRING) {
    const auto bytes = latin1(text);
    return bytes && put(XCB_ATOM_STRING, 8, bytes->size(), bytes->data());
  }
  if (target != a.multiple || nested) return false;
  // ICCCM 2.6.2: the property lists (target, property) pairs; each pair we cannot convert has
  // its property replaced by None.
  const unsigned query = xcb_get_property(connection, 0, requestor, property,
                                          XCB_GET_PROPERTY_TYPE_ANY, 0, maxText_ / 4)
                             .sequence;
  xcb_flush(connection);
  using namespace std::chrono_literals;
  Reply pairs(static_cast<xcb_get_property_reply_t*>(reply(query, Clock::now() + 1s, true)));
  if (!pairs || pairs->format != 32) return false;
  const auto* first = static_cast<const xcb_atom_t*>(xcb_get_property_value(pairs.value));
  const auto pairCount = static_cast<std::size_t>(xcb_get_property_value_length(pairs.value)) / 8;
  std::vector<xcb_atom_t> list(first, first + pairCount * 2);
  for (std::size_t i = 0; i < list.size(); i += 2) {
    if (list[i + 1] == XCB_NONE || !convert(requestor, list[i], list[i + 1], text, time, true)) {
      list[i + 1] = XCB_NONE;
    }
  }
  return put(a.atomPair, 32, list.size(), list.data());
}

void XSelectionOwner::clear(const void* event) {
  const auto& cleared = *static_cast<const xcb_selection_clear_event_t*>(event);
  if (cleared.owner != window_ || cleared.selection != atoms_->clipboard) return;
  std::lock_guard lock(mu_);
  // An event carries the sequence number of the last request of ours the server had
  // processed: one from before our latest SetSelectionOwner speaks of a selection we have
  // taken back since.
  const auto sinceClaim = static_cast<std::int16_t>(
      static_cast<std::uint16_t>(cleared.sequence - static_cast<std::uint16_t>(ownRequest_)));
  if (sinceClaim < 0) return;
  text_.reset();
}

}  // namespace lumo
