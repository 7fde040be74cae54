// The in-process owner of the Wayland selection, under a real wlroots compositor (the headless
// sway of scripts/lib/sway.sh), read back with wl-paste.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "../../src/platform/WaylandSelectionOwner.h"
#include "../common/TestFiles.h"

namespace lumo {
namespace {

using namespace std::chrono_literals;
using namespace testing_files;

const std::string kWayland = std::getenv("WAYLAND_DISPLAY") ? std::getenv("WAYLAND_DISPLAY") : "";

std::string paste(const std::string& arguments = "-n") {
  return run("WAYLAND_DISPLAY=" + shellQuote(kWayland) + " timeout 30 wl-paste " + arguments +
             " 2>/dev/null || true");
}

// A unix socket bound at `path`, or connected to it; -1 on failure.
int unixSocket(const std::string& path, bool listening) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const auto* a = reinterpret_cast<const sockaddr*>(&address);
  return (listening ? bind(fd, a, sizeof address) == 0 && listen(fd, 8) == 0
                    : connect(fd, a, sizeof address) == 0)
             ? fd
             : -1;
}

TEST(WaylandSelectionOwner, OwnsTheSelectionServesItsTypesYieldsAndNeverHangs) {
  ASSERT_FALSE(kWayland.empty()) << "these tests need a wlroots compositor: run "
                                    "`eval \"$(scripts/lib/sway.sh start)\"`";
  signal(SIGPIPE, SIG_DFL);  // the default: a stray SIGPIPE would end this test program
  auto owner = WaylandSelectionOwner::connect(kWayland);
  ASSERT_TRUE(owner && owner->usable()) << "no data-control compositor at " << kWayland;

  // Pasteable as soon as `own` returns, in every type we offer; STRING only when it is ASCII.
  const std::string types[] = {"text/plain;charset=utf-8", "UTF8_STRING", "TEXT", "text/plain"};
  for (const std::string link :
       {"https://cdn.example.com/a.png", "https://cdn.example.com/é.mp4"}) {
    ASSERT_TRUE(owner->own(link));
    EXPECT_EQ(paste(), link);
    for (const auto& type : types) EXPECT_EQ(paste("-n -t " + shellQuote(type)), link) << type;
    const bool ascii = link.find("é") == std::string::npos;
    EXPECT_EQ(paste("-l | LC_ALL=C sort"),
              std::string(ascii ? "STRING\n" : "") +
                  "TEXT\nUTF8_STRING\ntext/plain\ntext/plain;charset=utf-8\n");
    EXPECT_EQ(paste("-n -t STRING"), ascii ? link : "");
    EXPECT_EQ(owner->ownedText(), link);
  }

  // A paster that stops reading early raises no SIGPIPE in the host, nor blocks the next.
  const std::string large(8 << 20, 'l');
  ASSERT_TRUE(owner->own(large));
  run("WAYLAND_DISPLAY=" + shellQuote(kWayland) + " wl-paste -n | head -c 1 >/dev/null");
  EXPECT_EQ(paste().size(), large.size());

  // Another client takes the selection: we know it, and the newer of our copies wins it back.
  auto other = WaylandSelectionOwner::connect(kWayland);
  ASSERT_TRUE(other && other->own("other"));
  EXPECT_EQ(paste(), "other");
  EXPECT_EQ(owner->ownedText(), std::nullopt);
  ASSERT_TRUE(owner->own("newest"));
  EXPECT_EQ(paste(), "newest");
  EXPECT_EQ(other->ownedText(), std::nullopt);
  run("printf tool | WAYLAND_DISPLAY=" + shellQuote(kWayland) + " wl-copy");
  for (auto end = std::chrono::steady_clock::now() + 30s;
       owner->ownedText() && std::chrono::steady_clock::now() < end;)
    std::this_thread::sleep_for(20ms);
  EXPECT_EQ(paste(), "tool");
  EXPECT_EQ(owner->ownedText(), std::nullopt);

  // No compositor, or one that never answers: no owner, after the bound at most.
  TempDir dir;
  const int silent = unixSocket(dir / "wayland-silent", true);
  ASSERT_GE(silent, 0);
  for (const std::string& display :
       {(dir / "wayland-silent").string(), std::string("/nonexistent/wayland-9"),
        std::string("wayland-9x")})
    EXPECT_EQ(WaylandSelectionOwner::connect(display, 300ms), nullptr) << display;
  close(silent);

  // A compositor that stops answering a connected owner: the copy gives up at its bound.
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  const std::string path =
      kWayland.starts_with('/') ? kWayland : std::string(runtime ? runtime : "") + "/" + kWayland;
  const int peer = unixSocket(path, false);
  ucred compositor{};
  socklen_t size = sizeof compositor;
  ASSERT_EQ(getsockopt(peer, SOL_SOCKET, SO_PEERCRED, &compositor, &size), 0);
  close(peer);
  ASSERT_EQ(kill(compositor.pid, SIGSTOP), 0);
  const bool owned = owner->own("frozen", 300ms);
  kill(compositor.pid, SIGCONT);
  EXPECT_FALSE(owned);
  EXPECT_FALSE(owner->usable());
  EXPECT_FALSE(owner->own("after"));
}

}  // namespace
}  // namespace lumo
