#include "lumo/platform/Clipboard.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "../common/TestFiles.h"

namespace lumo {
namespace {

using namespace std::chrono_literals;
using namespace testing_files;
using D = Clipboard::Destination;

const std::string kDisplay = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";

// What the X clipboard holds. The tools hand the selection to a child of theirs that may take
// it a moment after they exit, so this waits up to 30 s for `expected` (or any text).
std::string readBack(const std::string& expected = "") {
  std::string out;
  for (auto end = std::chrono::steady_clock::now() + 30s; std::chrono::steady_clock::now() < end;
       std::this_thread::sleep_for(50ms)) {
    out = run("DISPLAY=" + shellQuote(kDisplay) +
              " timeout 5 xclip -o -selection clipboard 2>/dev/null || true");
    if (expected.empty() ? !out.empty() : out == expected) break;
  }
  return out;
}

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

TEST(ClipboardX, OwnsTheSelectionInProcessHandsItOffAndFallsBackToTheToolsThatWork) {
  ASSERT_FALSE(kDisplay.empty()) << "these tests need an X server: run `Xvfb :77 &` and "
                                    "`export DISPLAY=:77`";
  ToolFolder tools;
  tools.link("xclip");
  const std::string link = "https://cdn.example.com/v é \"quoted\" <b>.mp4";
  {
    Clipboard clipboard({"", kDisplay, tools.path()});
    EXPECT_EQ(clipboard.setText("https://cdn.example.com/0.png"), D::x11);
    EXPECT_EQ(readBack("https://cdn.example.com/0.png"), "https://cdn.example.com/0.png");
    // Another application takes the selection: we let it go, and have nothing to hand off...
    run("printf other | DISPLAY=" + shellQuote(kDisplay) +
        " xclip -i -selection clipboard >/dev/null 2>&1");
    EXPECT_EQ(readBack("other"), "other");
    EXPECT_EQ(clipboard.handOff(), std::nullopt);
    EXPECT_EQ(readBack("other"), "other");
    // ...until the next copy takes it back; the hand-off then leaves it with xclip.
    EXPECT_EQ(clipboard.setText(link), D::x11);
    EXPECT_EQ(clipboard.handOff(), D::xclip);
    EXPECT_EQ(readBack(link), link);
    // More than one X request holds goes to the tools, which send it in parts.
    const std::string large(1 << 20, 'l');
    EXPECT_EQ(clipboard.setText(large), D::xclip);
    EXPECT_EQ(readBack(large), large);
  }
  {
    // Concurrent copies leave one whole text, still there after the owner is destroyed.
    Clipboard clipboard({"", kDisplay, tools.path()});
    std::vector<std::thread> threads;
    for (char letter : {'a', 'b', 'c', 'd'})
      threads.emplace_back([&clipboard, letter] {
        for (int i = 0; i < 10; ++i) EXPECT_EQ(clipboard.setText(std::string(100, letter)), D::x11);
      });
    for (auto& thread : threads) thread.join();
  }
  const std::string text = readBack();
  EXPECT_TRUE(text.size() == 100 && text == std::string(100, text[0])) << text;

  // Without the in-process owner (a Wayland session with no wl-copy), the first tool that
  // works; without a display that answers, the memory.
  int free = 5000;
  while (fs::exists("/tmp/.X11-unix/X" + std::to_string(free))) ++free;
  // clang-format off
  const std::tuple<std::string, std::string, D> cases[] = {
      {"link", kDisplay, D::xclip}, {"", kDisplay, D::xsel}, {"/bin/cat >/dev/null; exit 1", kDisplay, D::xsel},
      {"link", "", D::memory}, {"link", ":" + std::to_string(free), D::memory}};
  // clang-format on
  for (const auto& [xclip, x, expected] : cases) {
    ToolFolder tools;
    tools.link("xsel");
    xclip == "link" ? tools.link("xclip") : xclip.empty() ? tools : tools.script("xclip", xclip);
    Clipboard clipboard({expected == D::memory ? "" : "wayland-lumo-absent", x, tools.path()});
    const std::string text = "https://cdn.example.com/" + std::string(toString(expected));
    EXPECT_EQ(clipboard.setText(text), expected) << xclip << " " << x;
    EXPECT_EQ(expected == D::memory ? text : readBack(text), text);
    EXPECT_EQ(clipboard.memoryText(), expected == D::memory ? std::optional(text) : std::nullopt);
  }
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

}  // namespace
}  // namespace lumo
