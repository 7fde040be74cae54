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
using Destination = Clipboard::Destination;

std::string display() {
  const char* value = std::getenv("DISPLAY");
  EXPECT_TRUE(value && *value)
      << "these tests need an X server: run `Xvfb :77 &` and `export DISPLAY=:77`";
  return value ? value : "";
}

// What the X clipboard holds, read back with `xclip -o`. The tools hand the selection to a
// child of theirs that may take it a moment after they exit, so this waits up to 30 s for
// `expected`, when given.
std::optional<std::string> readBack(const std::optional<std::string>& expected) {
  const std::string command =
      "DISPLAY='" + display() + "' timeout 5 xclip -o -selection clipboard 2>/dev/null";
  std::optional<std::string> last;
  for (auto deadline = std::chrono::steady_clock::now() + 30s;
       std::chrono::steady_clock::now() < deadline;) {
    FILE* pipe = ::popen(command.c_str(), "r");
    std::string out;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    last = ::pclose(pipe) == 0 ? std::optional(out) : std::nullopt;
    if (last && (!expected || last == expected)) break;
    std::this_thread::sleep_for(50ms);
  }
  return last;
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
};

pid_t pidIn(const fs::path& file) {
  pid_t pid = 0;
  std::ifstream(file) >> pid;
  return pid;
}

TEST(ClipboardCommands, ToolsFollowTheDisplaysAndThePath) {
  ToolFolder tools;
  tools.script("wl-copy", "exit 0").script("xclip", "exit 0").script("xsel", "exit 0");
  ToolFolder broken;  // files that cannot run are not tools
  broken.script("xclip", "", false);
  fs::create_directory(broken / "xsel");
  using D = std::vector<Destination>;
  // clang-format off
  const std::tuple<std::string, std::string, std::string, D> cases[] = {
      {"wayland-0", ":1", tools.path(), D{Destination::wlCopy, Destination::xclip, Destination::xsel}},
      {"", ":1", "/nonexistent:" + tools.path(), D{Destination::xclip, Destination::xsel}},
      {"wayland-0", "", tools.path(), D{Destination::wlCopy}}, {"", "", tools.path(), D{}},
      {"", ":1", broken.path(), D{}}};
  // clang-format on
  for (const auto& [wayland, x, path, expected] : cases) {
    D destinations;
    for (const auto& command : Clipboard::commandsFor({wayland, x, path}))
      destinations.push_back(command.destination);
    EXPECT_EQ(destinations, expected) << wayland << " " << x << " " << path;
  }
  // The first folder that has a tool wins.
  const auto commands = Clipboard::commandsFor({"", ":1", "/nonexistent:" + tools.path()});
  EXPECT_EQ(commands[0].executable, tools.path() + "/xclip");
  EXPECT_EQ(commands[0].arguments, (std::vector<std::string>{"-selection", "clipboard"}));
  EXPECT_EQ(commands[1].arguments, (std::vector<std::string>{"--clipboard", "--input"}));
}

// Names a Wayland session that has no wl-copy: the X tools serve instead of the in-process
// owner.
constexpr const char* kNoWlCopy = "wayland-lumo-absent";

TEST(ClipboardX, OwnsTheSelectionInProcessHandsItOffAndFallsBackToTheToolsThatWork) {
  ToolFolder tools;
  tools.link("xclip");
  const std::string link = "https://cdn.example.com/v é \"quoted\" <b>.mp4";
  {
    Clipboard clipboard({"", display(), tools.path()});
    EXPECT_EQ(clipboard.setText("https://cdn.example.com/0cc175b9.png"), Destination::x11);
    EXPECT_EQ(readBack("https://cdn.example.com/0cc175b9.png"),
              "https://cdn.example.com/0cc175b9.png");
    // Another application takes the selection: we let it go, and have nothing to hand off...
    run("printf other | DISPLAY='" + display() + "' xclip -i -selection clipboard >/dev/null 2>&1");
    EXPECT_EQ(readBack("other"), "other");
    EXPECT_EQ(clipboard.handOff(), std::nullopt);
    EXPECT_EQ(readBack("other"), "other");
    // ...until the next copy takes it back; the hand-off then leaves it with xclip.
    EXPECT_EQ(clipboard.setText(link), Destination::x11);
    EXPECT_EQ(clipboard.handOff(), Destination::xclip);
    EXPECT_EQ(readBack(link), link);
    // More than one X request holds goes to the tools, which send it in parts.
    const std::string large(1 << 20, 'l');
    EXPECT_EQ(clipboard.setText(large), Destination::xclip);
    EXPECT_EQ(readBack(large), large);
  }
  {
    // Concurrent copies leave one whole text, still there after the owner is destroyed.
    Clipboard clipboard({"", display(), tools.path()});
    std::vector<std::thread> threads;
    for (char letter : {'a', 'b', 'c', 'd'}) {
      threads.emplace_back([&clipboard, letter] {
        for (int i = 0; i < 10; ++i)
          EXPECT_EQ(clipboard.setText(std::string(100, letter)), Destination::x11);
      });
    }
    for (auto& thread : threads) thread.join();
  }
  const auto text = readBack(std::nullopt).value_or("");
  EXPECT_TRUE(text.size() == 100 && text == std::string(100, text[0])) << text;

  // Without the in-process owner, the first tool that works.
  // clang-format off
  for (const auto& [xclip, expected] : {std::pair{"link", Destination::xclip}, {"", Destination::xsel},
                                        {"/bin/cat >/dev/null; exit 1", Destination::xsel}}) {
    // clang-format on
    ToolFolder tools;
    tools.link("xsel");
    if (std::string(xclip) == "link") {
      tools.link("xclip");
    } else if (*xclip) {
      tools.script("xclip", xclip);
    }
    Clipboard clipboard({kNoWlCopy, display(), tools.path()});
    const std::string text = "https://cdn.example.com/" + std::string(toString(expected));
    EXPECT_EQ(clipboard.setText(text), expected);
    EXPECT_EQ(readBack(text), text);
    EXPECT_EQ(clipboard.memoryText(), std::nullopt);
  }
}

TEST(ClipboardMemory, KeepsTheTextWithoutAReachableDisplay) {
  ToolFolder tools;
  tools.link("xclip").link("xsel");
  int number = 5000;
  while (fs::exists("/tmp/.X11-unix/X" + std::to_string(number))) ++number;
  for (const std::string& display : {std::string(), ":" + std::to_string(number)}) {
    Clipboard clipboard({"", display, tools.path()});
    EXPECT_EQ(clipboard.memoryText(), std::nullopt);
    EXPECT_EQ(clipboard.setText("https://cdn.example.com/a.png"), Destination::memory);
    EXPECT_EQ(clipboard.memoryText(), "https://cdn.example.com/a.png");
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
  signal(SIGPIPE, SIG_DFL);  // the default: a stray SIGPIPE would end this test program
  ToolFolder quits;
  quits.script("xclip", "exit 0");
  Clipboard clipboard({kNoWlCopy, ":0", quits.path()});
  const std::string text(4 << 20, 'x');  // more than a pipe holds: the write is still going
  EXPECT_EQ(clipboard.setText(text), Destination::memory);
  EXPECT_TRUE(sigpipeLeftAlone());
  std::thread([&] {  // the same from another thread, whose mask is its own
    EXPECT_EQ(clipboard.setText(text), Destination::memory);
    EXPECT_TRUE(sigpipeLeftAlone());
  })
      .join();
  EXPECT_TRUE(sigpipeLeftAlone());

  ToolFolder hangs;
  hangs.script("xclip", "echo $$ > '" + (hangs / "pid").string() + "'; exec /bin/sleep 30");
  EXPECT_EQ(Clipboard({kNoWlCopy, ":0", hangs.path()}, 300ms).setText("c"), Destination::memory);
  ASSERT_GT(pidIn(hangs / "pid"), 0);
  EXPECT_EQ(kill(pidIn(hangs / "pid"), 0), -1);  // killed and reaped: not even a zombie is left
  EXPECT_EQ(errno, ESRCH);

  // A child the tool leaves behind to serve the selection inherits no descriptor of the host.
  ToolFolder leaves;
  leaves.script("xclip", "/bin/cat >/dev/null; /bin/sleep 30 & echo $! > '" +
                             (leaves / "pid").string() + "'");
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);  // inheritable on purpose
  EXPECT_EQ(Clipboard({kNoWlCopy, ":0", leaves.path()}).setText("d"), Destination::xclip);
  close(fds[1]);
  pollfd p{fds[0], POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 30000), 1) << "a child of the tool holds the host's pipe";
  char c;
  EXPECT_EQ(read(fds[0], &c, 1), 0);
  close(fds[0]);
  if (const pid_t pid = pidIn(leaves / "pid"); pid > 0) kill(pid, SIGKILL);
}

}  // namespace
}  // namespace lumo
