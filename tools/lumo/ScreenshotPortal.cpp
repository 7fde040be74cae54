#include "ScreenshotPortal.h"

#include <poll.h>
#include <sdbus-c++/sdbus-c++.h>
#include <systemd/sd-bus.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string_view>
#include <utility>

#include "lumo/platform/Url.h"

namespace lumo::cli {
namespace {

using Clock = std::chrono::steady_clock;
using Outcome = ScreenshotPortal::Outcome;
using std::chrono::microseconds;

constexpr const char* kPortal = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kScreenshotInterface = "org.freedesktop.portal.Screenshot";
constexpr const char* kRequestInterface = "org.freedesktop.portal.Request";
// Closing a request only spares the user a dialog that nobody waits for: a short bound will do.
constexpr auto kCloseBound = std::chrono::seconds(1);
constexpr auto kPollStep = std::chrono::milliseconds(100);

// The time left until `deadline`, at least 1 µs: sd-bus reads 0 as "your default timeout".
microseconds left(Clock::time_point deadline) {
  return std::max(microseconds(1),
                  std::chrono::duration_cast<microseconds>(deadline - Clock::now()));
}

Outcome failed(std::string why) {
  return {Outcome::Kind::failed, {}, std::move(why)};
}

// sdbus-c++ opens a connection by waiting for the bus's handshake with sd-bus's own bound,
// 90 s, which a bus that took the connection but never answers (a stopped daemon) makes us
// wait in full. So a connection of sd-bus's is first given until the deadline to finish it.
bool sessionBusAnswers(Clock::time_point deadline) {
  sd_bus* opened = nullptr;
  if (sd_bus_open_user(&opened) < 0) return false;
  const std::unique_ptr<sd_bus, decltype(&sd_bus_close_unref)> bus(opened, &sd_bus_close_unref);
  for (;;) {
    if (const int ready = sd_bus_is_ready(bus.get()); ready != 0) return ready > 0;
    const int processed = sd_bus_process(bus.get(), nullptr);
    if (processed < 0) return false;
    if (processed > 0) continue;
    if (Clock::now() >= deadline) return false;
    if (sd_bus_wait(bus.get(), left(deadline).count()) < 0) return false;
  }
}

// A connection to the session bus with no event loop of its own (the caller dispatches it);
// null when no bus answers by `deadline`.
std::unique_ptr<sdbus::IConnection> connect(Clock::time_point deadline) {
  if (!sessionBusAnswers(deadline)) return nullptr;
  try {
    auto connection = sdbus::createSessionBusConnection();
    // Bounds the calls sdbus-c++ makes on its own, such as adding a signal's match rule.
    connection->setMethodCallTimeout(left(deadline));
    return connection;
  } catch (const sdbus::Error&) {
    return nullptr;
  }
}

// The handle the portal gives a request: our unique name without ':' and with '.' as '_',
// then the token we chose.
std::string requestPath(std::string_view uniqueName, const std::string& token) {
  std::string sender(uniqueName.substr(uniqueName.starts_with(':') ? 1 : 0));
  std::replace(sender.begin(), sender.end(), '.', '_');
  return std::string(kPortalPath) + "/request/" + sender + "/" + token;
}

// Not guessable, as the portal asks, so that no other client can predict our request's path.
std::string newToken() {
  std::random_device random;
  const std::uint64_t value = (std::uint64_t{random()} << 32U) | random();
  std::string token = "lumo_";
  for (int shift = 60; shift >= 0; shift -= 4) token += "0123456789abcdef"[(value >> shift) & 15U];
  return token;
}

// The Response of one request, followed on the path the portal gives it.
class Request {
 public:
  struct Response {
    std::uint32_t code = 2;
    std::optional<std::string> uri;
  };

  Request(sdbus::IConnection& connection, const std::string& path) : connection_(connection) {
    follow(path);
  }
  // The signal handler keeps `this`.
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;

  // Subscribes on `path` instead, when the portal handles the request elsewhere (portals older
  // than 0.9 ignore the token).
  void follow(const std::string& path) {
    if (proxy_ && proxy_->getObjectPath() == path) return;
    proxy_ = sdbus::createProxy(connection_, kPortal, path);
    proxy_->registerSignalHandler(kRequestInterface, "Response", [this](sdbus::Signal& signal) {
      Response response;
      try {
        std::map<std::string, sdbus::Variant> results;
        signal >> response.code >> results;
        const auto uri = results.find("uri");
        if (uri != results.end() && uri->second.containsValueOfType<std::string>()) {
          response.uri = uri->second.get<std::string>();
        }
      } catch (const sdbus::Error&) {
        response = {};  // a Response we cannot read is a failed request
      }
      response_ = std::move(response);
    });
    proxy_->finishRegistration();
  }

  const std::optional<Response>& response() const { return response_; }

  // Ends the desktop's dialog. The portal may have ended the request meanwhile: nothing to do.
  void close() {
    try {
      proxy_->callMethod(proxy_->createMethodCall(kRequestInterface, "Close"), kCloseBound);
    } catch (const sdbus::Error&) {
    }
  }

 private:
  sdbus::IConnection& connection_;
  std::unique_ptr<sdbus::IProxy> proxy_;
  std::optional<Response> response_;
};

Outcome outcomeOf(const Request::Response& response) {
  if (response.code == 1) return {Outcome::Kind::cancelled, {}, {}};
  if (response.code != 0) {
    return failed("the portal could not take the screenshot (response " +
                  std::to_string(response.code) + ")");
  }
  if (!response.uri) return failed("the portal's answer has no file");
  const auto url = Url::parse(*response.uri);
  if (!url || !url->isFileURL())
    return failed("the portal's answer is not a local file: " + *response.uri);
  return {Outcome::Kind::taken, url->filePath(), {}};
}

std::string refusal(const sdbus::Error& error) {
  if (error.getName() == "org.freedesktop.DBus.Error.ServiceUnknown") {
    return "no desktop portal on the session bus";
  }
  return "the portal refused: " +
         (error.getMessage().empty() ? error.getName() : error.getMessage());
}

// Waits for traffic on the connection, at most `most`.
void waitForTraffic(const sdbus::IConnection& connection, Clock::duration most) {
  const auto data = connection.getEventLoopPollData();
  int timeout = static_cast<int>(
      std::chrono::ceil<std::chrono::milliseconds>(std::max(most, Clock::duration::zero()))
          .count());
  if (const int bus = data.getPollTimeout(); bus >= 0) timeout = std::min(timeout, bus);
  pollfd fd{data.fd, data.events, 0};
  ::poll(&fd, 1, timeout);
}

}  // namespace

bool ScreenshotPortal::available(Clock::time_point deadline) {
  const auto connection = connect(deadline);
  if (!connection) return false;
  try {
    const auto portal = sdbus::createProxy(*connection, kPortal, kPortalPath);
    sdbus::Variant version;
    portal->callMethod("Get")
        .onInterface("org.freedesktop.DBus.Properties")
        .withTimeout(left(deadline))
        .withArguments(kScreenshotInterface, "version")
        .storeResultsTo(version);
    return version.containsValueOfType<std::uint32_t>();
  } catch (const sdbus::Error&) {
    return false;
  }
}

ScreenshotPortal::Outcome ScreenshotPortal::take(bool interactive, Clock::time_point deadline,
                                                 const std::function<bool()>& interrupted) {
  const auto connection = connect(deadline);
  if (!connection) return failed("no session bus answered");
  try {
    const std::string token = newToken();
    // Subscribed before the call, so that no Response can come first.
    Request request(*connection, requestPath(connection->getUniqueName(), token));
    // What the reply brings, declared before the proxy whose pending call may still write them.
    std::optional<std::string> handle;
    std::optional<sdbus::Error> refused;
    const auto portal = sdbus::createProxy(*connection, kPortal, kPortalPath);
    const std::map<std::string, sdbus::Variant> options{{"handle_token", token},
                                                        {"interactive", interactive}};
    const auto call =
        portal->callMethodAsync("Screenshot")
            .onInterface(kScreenshotInterface)
            .withTimeout(left(deadline))
            .withArguments(std::string(), options)
            .uponReplyInvoke([&](const sdbus::Error* error, const sdbus::ObjectPath& path) {
              if (error)
                refused = *error;
              else
                handle = path;
            });
    for (;;) {
      while (connection->processPendingRequest()) {
      }
      if (request.response()) return outcomeOf(*request.response());
      // Before the refusal: the call's own timeout is the deadline.
      if (Clock::now() >= deadline) {
        request.close();
        return failed("the portal did not answer in time");
      }
      if (refused) return failed(refusal(*refused));
      if (interrupted()) {
        request.close();
        return {Outcome::Kind::cancelled, {}, {}};
      }
      if (handle) request.follow(*std::exchange(handle, std::nullopt));
      waitForTraffic(*connection, std::min<Clock::duration>(kPollStep, deadline - Clock::now()));
    }
  } catch (const sdbus::Error& error) {
    return failed("the portal could not be asked: " + error.getMessage());
  }
}

}  // namespace lumo::cli
