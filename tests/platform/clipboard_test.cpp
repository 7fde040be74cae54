#include "lumo/platform/Clipboard.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace lumo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Destination = Clipboard::Destination;

// What the X clipboard of `display` holds, read back with `xclip -o`. The tools hand the
// selection to a child of theirs that may take it a moment after they exit, so this waits for
// `expected`, when given.
std::optional<std::string> readBack(const std::string& display,
                                    const std::optional<std::string>& expected) {
  const std::string command =
      "DISPLAY='" + display + "' timeout 5 xclip -o -selection clipboard 2>/dev/null";
  std::optional<std::string> last;
  for (auto deadline = std::chrono::steady_clock::now() + 10s;
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

// A folder that stands in for PATH: links to the real tools and small scripts posing as them.
class ToolFolder {
 public:
  ToolFolder() {
    std::string pattern = (fs::temp_directory_path() / "lumo-clipboard-XXXXXX").string();
    EXPECT_NE(mkdtemp(pattern.data()), nullptr);
    path_ = pattern;
  }
  ~ToolFolder() { fs::remove_all(path_); }

  void link(const std::string& tool) {
    fs::create_symlink(fs::path("/usr/bin") / tool, path_ / tool);
  }
  void script(const std::string& tool, const std::string& body) {
    std::ofstream(path_ / tool) << "#!/bin/sh\n" << body << "\n";
    fs::permissions(path_ / tool, fs::perms::owner_all);
  }
  fs::path file(const std::string& name) const { return path_ / name; }
  std::string path() const { return path_.string(); }

 private:
  fs::path path_;
};

pid_t pidIn(const fs::path& file) {
  pid_t pid = 0;
  std::ifstream(file) >> pid;
  return pid;
}

TEST(ClipboardCommands, ToolsFollowTheDisplaysAndThePath) {
  auto destinations = [](const Clipboard::Environment& environment) {
    std::vector<Destination> result;
    for (const auto& command : Clipboard::commandsFor(environment)) {
      result.push_back(command.destination);
    }
    return result;
  };
  ToolFolder tools;
  tools.script("wl-copy", "exit 0");
  tools.script("xclip", "exit 0");
  tools.script("xsel", "exit 0");
  EXPECT_EQ(destinations({"wayland-0", ":1", tools.path()}),
            (std::vector{Destination::wlCopy, Destination::xclip, Destination::xsel}));
  EXPECT_EQ(destinations({"", ":1", tools.path()}),
            (std::vector{Destination::xclip, Destination::xsel}));
  EXPECT_EQ(destinations({"wayland-0", "", tools.path()}), (std::vector{Destination::wlCopy}));
  EXPECT_TRUE(destinations({"", "", tools.path()}).empty());
  // The first folder that has a tool wins; folders without it are passed over.
  auto commands = Clipboard::commandsFor({"", ":1", "/nonexistent:" + tools.path()});
  ASSERT_EQ(commands.size(), 2u);
  EXPECT_EQ(commands[0].executable, tools.path() + "/xclip");
  EXPECT_EQ(commands[0].arguments, (std::vector<std::string>{"-selection", "clipboard"}));
  EXPECT_EQ(commands[1].arguments, (std::vector<std::string>{"--clipboard", "--input"}));

  // Files that cannot run are not tools.
  ToolFolder broken;
  std::ofstream(broken.file("xclip")) << "#!/bin/sh\n";  // not executable
  fs::create_directory(broken.file("xsel"));
  EXPECT_TRUE(destinations({"", ":1", broken.path()}).empty());
}

std::string displayName() {
  const char* value = std::getenv("DISPLAY");
  return value ? value : "";
}

// Names a Wayland session that has no wl-copy: the X tools serve instead of the in-process
// owner.
constexpr const char* kNoWlCopy = "wayland-lumo-absent";

TEST(ClipboardX, OwnsTheSelectionInProcessAndHandsItOff) {
  const std::string display = displayName();
  ASSERT_FALSE(display.empty())
      << "these tests need an X server: run `Xvfb :77 &` and `export DISPLAY=:77`";
  ToolFolder tools;
  tools.link("xclip");
  const std::string link = "https://cdn.example.com/v é \"quoted\" <b>.mp4";
  {
    Clipboard clipboard({"", display, tools.path()});
    for (const std::string text : {"https://cdn.example.com/0cc175b9.png", link.c_str()}) {
      EXPECT_EQ(clipboard.setText(text), Destination::x11);
      EXPECT_EQ(readBack(display, text), text);  // served while we live
    }
    // Another application takes the selection: we let it go, and have nothing to hand off.
    ASSERT_EQ(std::system(("printf other | DISPLAY='" + display +
                           "' xclip -i -selection clipboard >/dev/null 2>&1")
                              .c_str()),
              0);
    EXPECT_EQ(readBack(display, "other"), "other");
    EXPECT_EQ(clipboard.handOff(), std::nullopt);
    EXPECT_EQ(readBack(display, "other"), "other");
    // ...until the next copy takes it back; the hand-off then leaves it with xclip.
    EXPECT_EQ(clipboard.setText(link), Destination::x11);
    EXPECT_EQ(clipboard.handOff(), Destination::xclip);
    EXPECT_EQ(readBack(display, link), link);
    // More than one X request holds goes to the tools, which send it in parts.
    const std::string large(1 << 20, 'l');
    EXPECT_EQ(clipboard.setText(large), Destination::xclip);
    EXPECT_EQ(readBack(display, large), large);
  }
  {
    // Concurrent copies leave one whole text, still there after the owner is destroyed.
    Clipboard clipboard({"", display, tools.path()});
    std::vector<std::thread> threads;
    for (char letter : {'a', 'b', 'c', 'd'}) {
      threads.emplace_back([&clipboard, letter] {
        for (int i = 0; i < 10; ++i) {
          EXPECT_EQ(clipboard.setText(std::string(100, letter)), Destination::x11);
        }
      });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(clipboard.lastDestination(), Destination::x11);
  }
  auto text = readBack(display, std::nullopt);
  ASSERT_TRUE(text && text->size() == 100) << text.value_or("(none)");
  EXPECT_EQ(*text, std::string(100, text->front()));
}

TEST(ClipboardX, CopiesWithTheFirstToolThatWorks) {
  const std::string display = displayName();
  ASSERT_FALSE(display.empty());
  struct Case {
    std::string xclip;  // "link", a script body, or "" for none
    bool xsel;
    Destination expected;
  };
  const Case cases[] = {
      {"link", false, Destination::xclip},
      {"", true, Destination::xsel},
      {"/bin/cat >/dev/null; exit 1", true, Destination::xsel},  // xclip fails
  };
  for (const Case& c : cases) {
    ToolFolder tools;
    if (c.xclip == "link") {
      tools.link("xclip");
    } else if (!c.xclip.empty()) {
      tools.script("xclip", c.xclip);
    }
    if (c.xsel) tools.link("xsel");
    Clipboard clipboard({kNoWlCopy, display, tools.path()});
    const std::string link = "https://cdn.example.com/" + std::string(toString(c.expected));
    EXPECT_EQ(clipboard.setText(link), c.expected);
    EXPECT_EQ(readBack(display, link), link);
    EXPECT_EQ(clipboard.memoryText(), std::nullopt);
  }
}

TEST(ClipboardMemory, KeepsTheTextWithoutAReachableDisplay) {
  ToolFolder tools;
  tools.link("xclip");
  tools.link("xsel");
  int number = 5000;
  while (fs::exists("/tmp/.X11-unix/X" + std::to_string(number))) ++number;
  for (const std::string& display : {std::string(), ":" + std::to_string(number)}) {
    Clipboard clipboard({"", display, tools.path()});
    EXPECT_EQ(clipboard.memoryText(), std::nullopt);
    EXPECT_EQ(clipboard.setText("https://cdn.example.com/a.png"), Destination::memory);
    EXPECT_EQ(clipboard.memoryText(), "https://cdn.example.com/a.png");
    EXPECT_EQ(clipboard.setText(""), Destination::memory);
    EXPECT_EQ(clipboard.memoryText(), "");
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

TEST(ClipboardTool, AToolThatExitsWithoutReadingDoesNotKillTheHost) {
  signal(SIGPIPE, SIG_DFL);  // the default: a stray SIGPIPE would end this test program
  ToolFolder tools;
  tools.script("xclip", "exit 0");
  Clipboard clipboard({kNoWlCopy, ":0", tools.path()});
  // More than a pipe holds, so that the write is still going when the reader goes away.
  const std::string text(4 << 20, 'x');
  EXPECT_EQ(clipboard.setText(text), Destination::memory);
  EXPECT_TRUE(sigpipeLeftAlone());

  // The same from another thread, whose mask is its own.
  Destination fromThread = Destination::xclip;
  bool leftClean = false;
  std::thread([&] {
    fromThread = clipboard.setText(text);
    leftClean = sigpipeLeftAlone();
  }).join();
  EXPECT_EQ(fromThread, Destination::memory);
  EXPECT_TRUE(leftClean);
  EXPECT_TRUE(sigpipeLeftAlone());
}

TEST(ClipboardTool, AToolThatHangsIsKilledAndReaped) {
  ToolFolder tools;
  const fs::path pidFile = tools.file("pid");
  tools.script("xclip", "echo $$ > '" + pidFile.string() + "'; exec /bin/sleep 30");
  Clipboard clipboard({kNoWlCopy, ":0", tools.path()}, 300ms);

  EXPECT_EQ(clipboard.setText("https://cdn.example.com/c.png"), Destination::memory);
  EXPECT_EQ(clipboard.memoryText(), "https://cdn.example.com/c.png");
  const pid_t pid = pidIn(pidFile);
  ASSERT_GT(pid, 0);
  // Killed and reaped: not even a zombie is left.
  EXPECT_EQ(kill(pid, 0), -1);
  EXPECT_EQ(errno, ESRCH);
}

TEST(ClipboardTool, TheSelectionServerInheritsNoDescriptorOfTheHost) {
  ToolFolder tools;
  const fs::path pidFile = tools.file("pid");
  // Poses as a tool: reads its input, leaves a child behind that serves the selection.
  tools.script("xclip",
               "/bin/cat >/dev/null; /bin/sleep 30 & echo $! > '" + pidFile.string() + "'");
  Clipboard clipboard({kNoWlCopy, ":0", tools.path()});

  int fds[2];
  ASSERT_EQ(pipe(fds), 0);  // inheritable on purpose
  EXPECT_EQ(clipboard.setText("https://cdn.example.com/d.png"), Destination::xclip);
  close(fds[1]);
  // With the host's write end closed, the reader sees the end at once unless the child
  // left behind still holds a copy.
  pollfd p{fds[0], POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 5000), 1) << "a child of the tool holds the host's pipe";
  char c;
  EXPECT_EQ(read(fds[0], &c, 1), 0);
  close(fds[0]);
  if (const pid_t pid = pidIn(pidFile); pid > 0) kill(pid, SIGKILL);
}

}  // namespace
}  // namespace lumo
