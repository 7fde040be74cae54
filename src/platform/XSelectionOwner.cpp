#include "XSelectionOwner.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <utility>
#include <vector>

namespace lumo {

struct XSelectionOwner::Atoms {
  xcb_atom_t clipboard, targets, utf8String, text, textPlainUtf8;
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
  Connection handle(xcb_connect(display.c_str(), &screenNumber));
  xcb_connection_t* const connection = handle.get();
  if (xcb_connection_has_error(connection)) return nullptr;

  xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
  for (int i = 0; i < screenNumber && screens.rem > 0; ++i) xcb_screen_next(&screens);
  if (screens.rem == 0) return nullptr;

  // An input-only window that is never mapped: it exists to own the selection and to name
  // it in the events the server sends.
  const xcb_window_t window = xcb_generate_id(connection);
  const xcb_void_cookie_t created = xcb_create_window_checked(
      connection, XCB_COPY_FROM_PARENT, window, screens.data->root, 0, 0, 1, 1, 0,
      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
  static constexpr std::string_view kNames[] = {"CLIPBOARD", "TARGETS", "UTF8_STRING", "TEXT",
                                                "text/plain;charset=utf-8"};
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
  auto names = std::make_unique<Atoms>(Atoms{atoms[0], atoms[1], atoms[2], atoms[3], atoms[4]});
  return std::unique_ptr<XSelectionOwner>(
      new XSelectionOwner(display, std::move(handle), window, std::move(names), std::move(wake)));
}

void XSelectionOwner::Disconnect::operator()(xcb_connection_t* connection) const {
  xcb_disconnect(connection);
}

XSelectionOwner::XSelectionOwner(std::string display, Connection connection, std::uint32_t window,
                                 std::unique_ptr<Atoms> atoms, FileDescriptor wake)
    : display_(std::move(display)),
      connection_(std::move(connection)),
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

bool XSelectionOwner::own(std::string_view text) {
  if (text.size() > maxText_) return false;
  xcb_get_selection_owner_cookie_t query;
  {
    std::lock_guard lock(mu_);
    text_ = std::string(text);
    // CurrentTime, as xclip and xsel do: we have no event of the user's to take a time from.
    ownRequest_ =
        xcb_set_selection_owner(connection_.get(), window_, atoms_->clipboard, XCB_CURRENT_TIME)
            .sequence;
    query = xcb_get_selection_owner(connection_.get(), atoms_->clipboard);
  }
  Reply reply(xcb_get_selection_owner_reply(connection_.get(), query, nullptr));
  // Waiting for the reply may have queued events that `serve` has not seen come in.
  wake();
  const bool owned = reply && reply->owner == window_;
  if (!owned) {
    std::lock_guard lock(mu_);
    text_.reset();
  }
  return owned;
}

std::optional<std::string> XSelectionOwner::ownedText() {
  Reply reply(xcb_get_selection_owner_reply(
      connection_.get(), xcb_get_selection_owner(connection_.get(), atoms_->clipboard), nullptr));
  wake();
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
        default:  // errors of requestors that went away, among others
          break;
      }
      std::free(event);
    }
    {
      std::lock_guard lock(mu_);
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
  {
    std::lock_guard lock(mu_);
    text = text_;
  }

  bool given = false;
  auto put = [&](xcb_atom_t type, std::string_view bytes) {
    if (bytes.size() > maxText_) return;  // would need an INCR transfer
    xcb_change_property(connection_.get(), XCB_PROP_MODE_REPLACE, request.requestor, property, type,
                        8, static_cast<std::uint32_t>(bytes.size()), bytes.data());
    given = true;
  };
  if (text && request.owner == window_ && request.selection == atoms_->clipboard) {
    const Atoms& a = *atoms_;
    if (request.target == a.targets) {
      const xcb_atom_t targets[] = {a.targets, a.utf8String, a.textPlainUtf8, a.text,
                                    XCB_ATOM_STRING};
      xcb_change_property(connection_.get(), XCB_PROP_MODE_REPLACE, request.requestor, property,
                          XCB_ATOM_ATOM, 32, std::size(targets), targets);
      given = true;
    } else if (request.target == a.utf8String || request.target == a.text) {
      put(a.utf8String, *text);
    } else if (request.target == a.textPlainUtf8) {
      put(a.textPlainUtf8, *text);
    } else if (request.target == XCB_ATOM_STRING) {
      if (auto bytes = latin1(*text)) put(XCB_ATOM_STRING, *bytes);
    }
  }

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
