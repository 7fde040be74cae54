#include "lumo/platform/Clipboard.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/un.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <thread>

#include "../common/TestFiles.h"

namespace lumo {
namespace {

using namespace std::chrono_literals;
using namespace testing_files;
using D = Clipboard::Destination;

const std::string kDisplay = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
const std::string kWayland = std::getenv("WAYLAND_DISPLAY") ? std::getenv("WAYLAND_DISPLAY") : "";

// Each display server: the tool a copy is handed off to, where copies go, and the variables
// of a process that uses it alone.
struct Session {
  std::string tool;
  D owned, handedTo;
  bool wayland;
  Clipboard::Environment with(const std::string& path) const {
    return wayland ? Clipboard::Environment{kWayland, "", path}
                   : Clipboard::Environment{"", kDisplay, path};
  }
  std::string variables() const {
    return wayland ? "env -u DISPLAY WAYLAND_DISPLAY=" + shellQuote(kWayland)
                   : "env -u WAYLAND_DISPLAY DISPLAY=" + shellQuote(kDisplay);
  }
};
const Session kSessions[] = {{"xclip", D::x11, D::xclip, false},
                             {"wl-copy", D::wayland, D::wlCopy, true}};

// What the clipboard holds. The tools hand the selection to a child of theirs that may take
// it a moment after they exit, so this waits up to 30 s for `expected` (or any text).
std::string readBack(const std::string& expected = "", bool wayland = false) {
  std::string out;
  for (auto end = std::chrono::steady_clock::now() + 30s; std::chrono::steady_clock::now() < end;
       std::this_thread::sleep_for(50ms)) {
    out = run(kSessions[wayland].variables() +
              (wayland ? " timeout 5 wl-paste -n" : " timeout 5 xclip -o -selection clipboard") +
              " 2>/dev/null || true");
    if (expected.empty() ? !out.empty() : out == expected) break;
  }
  return out;
}

// Started with LUMO_HOST_LINK, this executable is a host that copies it and exits, or with
// LUMO_HOST_WAITS (a file) as well, creates that file once the hand-off is over and waits to
// be killed.
const bool kHost = [] {
  if (!std::getenv("LUMO_HOST_LINK")) return false;
  Clipboard::general().setText(std::getenv("LUMO_HOST_LINK"));
  if (const char* handed = std::getenv("LUMO_HOST_WAITS")) {
    Clipboard::general().handOff();
    std::ofstream{handed};
    pause();
  }
  std::exit(0);
}();

// A folder that stands in for PATH: links to the real tools and scripts posing as them.
struct ToolFolder : TempDir {
  ToolFolder& link(const std::string& tool) {
    fs::create_symlink(fs::path("/usr/bin") / tool, *this / tool);
    return *this;
  }
  ToolFolder& script(const std::string& tool, const std::string& body, bool runnable = true) {
    writeFile(*this / tool, "#!/bin/sh\n" + body + "\n");
    if (runnable) fs::permissions(*this / tool, fs::perms::owner_all);
    return *this;
  }
  std::string path() const { return TempDir::path().string(); }
  pid_t pid() const {
    pid_t pid = 0;
    std::ifstream(*this / "pid") >> pid;
    return pid;
  }
};

TEST(ClipboardCommands, ToolsFollowTheDisplaysAndThePath) {
  ToolFolder tools, broken;  // files that cannot run are not tools
  tools.script("wl-copy", "exit 0").script("xclip", "exit 0").script("xsel", "exit 0");
  broken.script("xclip", "", false);
  fs::create_directory(broken / "xsel");
  const std::string first = "/nonexistent:" + tools.path();  // the first folder with a tool wins
  // clang-format off
  const std::tuple<std::string, std::string, std::string, std::string> cases[] = {
      {"wayland-0", ":1", tools.path(), "wl-copy xclip xsel "}, {"", ":1", first, "xclip xsel "},
      {"wayland-0", "", tools.path(), "wl-copy "}, {"", "", tools.path(), ""}, {"", ":1", broken.path(), ""}};
  // clang-format on
  for (const auto& [wayland, x, path, expected] : cases) {
    std::string destinations;
    for (const auto& command : Clipboard::commandsFor({wayland, x, path}))
      destinations += std::string(toString(command.destination)) + " ";
    EXPECT_EQ(destinations, expected) << wayland << " " << x << " " << path;
  }
  const auto commands = Clipboard::commandsFor({"", ":1", first});
  EXPECT_EQ(commands[0].executable, tools.path() + "/xclip");
  EXPECT_EQ(commands[0].arguments, (std::vector<std::string>{"-selection", "clipboard"}));
  EXPECT_EQ(commands[1].arguments, (std::vector<std::string>{"--clipboard", "--input"}));
}

TEST(Clipboard, OwnsTheSelectionInProcessHandsItOffAndFallsBackToTheToolsThatWork) {
  ASSERT_FALSE(kDisplay.empty()) << "these tests need an X server: run `Xvfb :77 &` and "
                                    "`export DISPLAY=:77`";
  ASSERT_FALSE(kWayland.empty()) << "these tests need a wlroots compositor: run "
                                    "`eval \"$(scripts/lib/sway.sh start)\"`";
  for (const Session& s : kSessions) {
    ToolFolder tools;   // a tool that takes its time with the first of two quick copies
    tools.link("cat");  // wl-copy's child serves the text with it
    tools.script(s.tool,
                 "t=$(/bin/cat); case $t in *slow*) /bin/sleep 1;; esac; printf %s \"$t\" "
                 "| exec /usr/bin/" +
                     s.tool + " \"$@\"");
    {
      Clipboard clipboard(s.with(tools.path()));
      const std::string link = "https://cdn.example.com/v é \"quoted\" <b>.mp4";
      EXPECT_EQ(clipboard.setText("https://cdn.example.com/slow.png"), s.owned);
      EXPECT_EQ(clipboard.setText(link), s.owned);  // the later copy stays, whatever the tools do
      EXPECT_EQ(clipboard.handOff(), s.handedTo);   // needless, but it waits for the hand-off
      EXPECT_EQ(readBack(link, s.wayland), link);
      // More than one X request holds goes to the tools, which send it in parts.
      const std::string large(1 << 20, 'l');
      EXPECT_EQ(clipboard.setText(large), s.wayland ? D::wayland : D::xclip);
      EXPECT_EQ(readBack(large, s.wayland), large);
      // Concurrent copies leave one whole text, still there after the owner is destroyed.
      std::vector<std::thread> threads;
      for (char letter : {'a', 'b', 'c', 'd'})
        threads.emplace_back([&clipboard, &s, letter] {
          for (int i = 0; i < 10; ++i)
            EXPECT_EQ(clipboard.setText(std::string(100, letter)), s.owned);
        });
      for (auto& thread : threads) thread.join();
    }
    const std::string text = readBack("", s.wayland);
    EXPECT_TRUE(text.size() == 100 && text == std::string(100, text[0])) << text;
  }

  // Without the in-process owner (no Wayland compositor, and no wl-copy; or turned off), the
  // first tool that works; without a display that answers (none, or a listener that never says
  // a word, X or Wayland, to the owner and to the tool alike), the memory, within the bound.
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  for (int n = 6040; address.sin_port = htons(++n), bind(listener, (sockaddr*)&address, 16);) {
  }
  const std::string mute = "127.0.0.1:" + std::to_string(ntohs(address.sin_port) - 6000);
  ASSERT_EQ(listen(listener, 8), 0);
  TempDir folder;
  sockaddr_un local{AF_UNIX, {}};
  const std::string muted = (folder / "wayland-mute").string(), absent = "wayland-lumo-absent";
  muted.copy(local.sun_path, sizeof local.sun_path - 1);
  const int wayland = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_TRUE(bind(wayland, (sockaddr*)&local, sizeof local) == 0 && listen(wayland, 8) == 0);
  // clang-format off
  const std::tuple<std::string, std::string, std::string, D> cases[] = {  // "tools": no owner
      {"link", kDisplay, absent, D::xclip}, {"", kDisplay, absent, D::xsel}, {"/bin/cat >/dev/null; exit 1", kDisplay, absent, D::xsel},
      {"link", "", "", D::memory}, {"link", ":5999", "", D::memory}, {"link", mute, "", D::memory},
      {"link", "", "tools", D::wlCopy}, {"link", "", muted, D::memory}};
  // clang-format on
  for (const auto& [xclip, x, wl, expected] : cases) {
    ToolFolder tools;
    tools.link("xsel").link("wl-copy").link("cat");
    xclip == "link" ? tools.link("xclip") : xclip.empty() ? tools : tools.script("xclip", xclip);
    Clipboard clipboard({wl == "tools" ? kWayland : wl, x, tools.path(), wl != "tools"});
    const std::string text = "https://cdn.example.com/" + std::string(toString(expected));
    auto copy = std::async(std::launch::async, [&] { return clipboard.setText(text); });
    ASSERT_EQ(copy.wait_for(30s), std::future_status::ready) << x << wl;
    EXPECT_EQ(copy.get(), expected) << xclip << " " << x << " " << wl;
    EXPECT_EQ(expected == D::memory ? text : readBack(text, expected == D::wlCopy), text);
    EXPECT_EQ(clipboard.memoryText(), expected == D::memory ? std::optional(text) : std::nullopt);
    EXPECT_TRUE(x != mute ||
                clipboard.lastProblem().value_or("").starts_with("the display " + mute));
    EXPECT_TRUE(wl != muted ||
                clipboard.lastProblem().value_or("").find("wl-copy failed") != std::string::npos);
  }
  close(listener), close(wayland);  // end the abandoned connections
}

bool sigpipeLeftAlone() {
  struct sigaction current {};
  sigaction(SIGPIPE, nullptr, &current);
  sigset_t mask, pending;
  pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  sigpending(&pending);
  return current.sa_handler == SIG_DFL && !sigismember(&mask, SIGPIPE) &&
         !sigismember(&pending, SIGPIPE);
}

TEST(ClipboardTool, ToolsThatExitWithoutReadingHangOrLeaveAChildDoNoHarmToTheHost) {
  signal(SIGPIPE, SIG_DFL);         // the default: a stray SIGPIPE would end this test program
  ToolFolder quits, hangs, leaves;  // scripts posing as xclip, the later ones writing their pid
  quits.script("xclip", "exit 0");
  Clipboard clipboard({"wayland-lumo-absent", ":0", quits.path()});
  const std::string text(4 << 20, 'x');  // more than a pipe holds: the write is still going
  auto copy = [&] {
    EXPECT_EQ(clipboard.setText(text), D::memory);
    EXPECT_TRUE(sigpipeLeftAlone());
  };
  copy();
  std::thread(copy).join();  // another thread, whose signal mask is its own
  EXPECT_TRUE(sigpipeLeftAlone());

  hangs.script("xclip", "echo $$ > \"${0%/*}/pid\"; exec /bin/sleep 30");
  EXPECT_EQ(Clipboard({"wayland-lumo-absent", ":0", hangs.path()}, 300ms).setText("c"), D::memory);
  ASSERT_GT(hangs.pid(), 0);  // killed and reaped: not even a zombie is left
  EXPECT_TRUE(kill(hangs.pid(), 0) == -1 && errno == ESRCH);

  // A child the tool leaves behind to serve the selection inherits no descriptor of the host.
  leaves.script("xclip", "/bin/cat >/dev/null; /bin/sleep 30 & echo $! > \"${0%/*}/pid\"");
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);  // inheritable on purpose
  EXPECT_EQ(Clipboard({"wayland-lumo-absent", ":0", leaves.path()}).setText("d"), D::xclip);
  close(fds[1]);
  pollfd p{fds[0], POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 30000), 1) << "a child of the tool holds the host's pipe";
  char c;
  EXPECT_EQ(read(fds[0], &c, 1), 0);
  close(fds[0]);
  if (leaves.pid() > 0) kill(leaves.pid(), SIGKILL);
}

// A client that converts the selection as a pasting application does, through xcb.
struct Requestor {
  xcb_connection_t* c = xcb_connect(kDisplay.c_str(), nullptr);
  xcb_window_t window = xcb_generate_id(c);
  Requestor() {
    xcb_create_window(c, 0, window, xcb_setup_roots_iterator(xcb_get_setup(c)).data->root, 0, 0, 1,
                      1, 0, XCB_WINDOW_CLASS_INPUT_ONLY, 0, 0, nullptr);
  }
  ~Requestor() { xcb_disconnect(c); }
  template <class R>
  std::unique_ptr<R, decltype(&std::free)> get(R* reply) {
    return {reply, &std::free};
  }
  xcb_atom_t atom(const std::string& name) {
    return get(xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, name.size(), name.data()), nullptr))
        ->atom;
  }
  std::string property(xcb_atom_t name) {
    auto r = get(xcb_get_property_reply(c, xcb_get_property(c, 0, window, name, 0, 0, 1 << 20), 0));
    return {static_cast<char*>(xcb_get_property_value(r.get())),
            std::size_t(xcb_get_property_value_length(r.get()))};
  }
  std::string convert(const std::string& target, xcb_timestamp_t time = XCB_CURRENT_TIME) {
    xcb_convert_selection(c, window, atom("CLIPBOARD"), atom(target), atom("P"), time);
    xcb_flush(c);
    for (int i = 0; i < 3000; ++i, std::this_thread::sleep_for(10ms))
      if (auto e = get(xcb_poll_for_event(c));
          e && (e->response_type & 0x7F) == XCB_SELECTION_NOTIFY)
        return reinterpret_cast<xcb_selection_notify_event_t*>(e.get())->property
                   ? property(atom("P"))
                   : "refused";
    return "no answer";
  }
};

TEST(ClipboardX, TheOwnerFollowsICCCM) {
  ToolFolder none;  // no tool to hand off to: the selection stays with us
  Clipboard clipboard({"", kDisplay, none.path()});
  const std::string link = "https://cdn.example.com/multiple.png";
  ASSERT_EQ(clipboard.setText(link), D::x11);
  EXPECT_EQ(clipboard.handOff(), D::memory);
  EXPECT_EQ(run("DISPLAY=" + shellQuote(kDisplay) + " xclip -o -selection clipboard -t TARGETS"),
            "TARGETS\nTIMESTAMP\nMULTIPLE\nUTF8_STRING\ntext/plain;charset=utf-8\nTEXT\nSTRING\n");
  Requestor x;
  const std::string stamp = x.convert("TIMESTAMP");
  const std::uint32_t time =
      stamp.size() == 4 ? *reinterpret_cast<const std::uint32_t*>(&stamp[0]) : 0;
  EXPECT_NE(time, XCB_CURRENT_TIME);
  EXPECT_EQ(x.convert("UTF8_STRING", time - 1), "refused");  // asks for an earlier owner's
  const xcb_atom_t utf8 = x.atom("UTF8_STRING"), a = x.atom("A"), b = x.atom("B");
  const xcb_atom_t pairs[] = {utf8, a, x.atom("TIMESTAMP"), b, x.atom("LUMO_NONE"), a};
  xcb_change_property(x.c, 0, x.window, x.atom("P"), x.atom("ATOM_PAIR"), 32, 6, pairs);
  EXPECT_EQ(x.convert("MULTIPLE"),
            std::string(reinterpret_cast<const char*>(pairs), 20) + std::string(4, 0));
  EXPECT_EQ(x.property(a), link);
  EXPECT_EQ(x.property(b), stamp);
}

TEST(Clipboard, TheLinkOutlivesAHostThatExitsOrIsKilledAfterItsHandOff) {
  for (const Session& s : kSessions) {
    for (const bool killed : {false, true}) {
      const std::string hosts = "https://cdn.example.com/" + s.tool + std::to_string(killed);
      TempDir folder;
      const std::string handed = (folder / "handed").string();
      const std::string host =
          run(s.variables() + " LUMO_HOST_LINK=" + hosts +
              (killed ? " LUMO_HOST_WAITS=" + handed + " " : " ") + "/proc/" +
              std::to_string(getpid()) + "/exe >/dev/null 2>&1" + (killed ? " & echo $!" : ""));
      for (int i = 0; killed && i < 3000 && !fs::exists(handed); ++i)
        std::this_thread::sleep_for(10ms);
      if (killed) kill(std::stoi(host), SIGKILL);
      EXPECT_EQ(readBack(hosts, s.wayland), hosts);
    }
  }
}

}  // namespace
}  // namespace lumo
