#include "lumo/platform/Clipboard.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace lumo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Destination = Clipboard::Destination;

// Runs `argv` with `extraEnv` added to the environment and returns its standard output, or
// nothing when it fails or takes longer than `timeout`.
std::optional<std::string> runAndRead(const std::vector<std::string>& argv,
                                      const std::vector<std::string>& extraEnv,
                                      std::chrono::milliseconds timeout = 10s) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> envStrings;
  for (char** e = environ; *e; ++e) envStrings.emplace_back(*e);
  envStrings.insert(envStrings.end(), extraEnv.begin(), extraEnv.end());
  std::vector<char*> envp;
  for (auto& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = argv;
  std::vector<char*> argp;
  for (auto& s : args) argp.push_back(s.data());
  argp.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, argp[0], &actions, nullptr, argp.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    return std::nullopt;
  }
  std::string out;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  bool timedOut = false;
  while (true) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      timedOut = true;
      break;
    }
    pollfd p{fds[0], POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buffer[4096];
    ssize_t n = read(fds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    out.append(buffer, static_cast<std::size_t>(n));
  }
  close(fds[0]);
  if (timedOut) kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  if (timedOut || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return out;
}

// One X server for the whole program: the one named by DISPLAY when it is set, otherwise an
// Xvfb started here on a free display.
class XServer : public ::testing::Environment {
 public:
  static std::string display() { return display_; }

  void SetUp() override {
    if (const char* d = std::getenv("DISPLAY"); d && *d) {
      display_ = d;
      return;
    }
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> args = {"Xvfb", "-displayfd", "3", "-nolisten",
                                     "tcp",  "-screen",    "0", "320x240x24"};
    std::vector<char*> argp;
    for (auto& s : args) argp.push_back(s.data());
    argp.push_back(nullptr);
    int rc = posix_spawnp(&pid_, "Xvfb", &actions, nullptr, argp.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    ASSERT_EQ(rc, 0) << "Xvfb could not be started (package xvfb)";
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    while (poll(&p, 1, 20'000) > 0) {
      char c;
      if (read(fds[0], &c, 1) != 1 || c == '\n') break;
      number.push_back(c);
    }
    close(fds[0]);
    ASSERT_FALSE(number.empty()) << "Xvfb did not report its display";
    display_ = ":" + number;
  }

  void TearDown() override {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status = 0;
      waitpid(pid_, &status, 0);
    }
  }

 private:
  static inline std::string display_;
  pid_t pid_ = -1;
};

[[maybe_unused]] ::testing::Environment* const kXServer =
    ::testing::AddGlobalTestEnvironment(new XServer);

// What the X clipboard holds, read back with `xclip -o`. The tools hand the selection to a
// child of theirs that may take it a moment after they exit, so this waits for `expected`.
std::optional<std::string> readBack(const std::string& expected) {
  std::optional<std::string> last;
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < deadline) {
    last =
        runAndRead({"xclip", "-o", "-selection", "clipboard"}, {"DISPLAY=" + XServer::display()});
    if (last == expected) break;
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
  ~ToolFolder() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }

  void link(const std::string& tool) {
    fs::create_symlink(fs::path("/usr/bin") / tool, path_ / tool);
  }
  void script(const std::string& tool, const std::string& body) {
    fs::path file = path_ / tool;
    std::ofstream(file) << "#!/bin/sh\n" << body << "\n";
    fs::permissions(file, fs::perms::owner_all);
  }
  fs::path file(const std::string& name) const { return path_ / name; }
  std::string path() const { return path_.string(); }

 private:
  fs::path path_;
};

std::vector<Destination> destinations(const Clipboard::Environment& environment) {
  std::vector<Destination> result;
  for (const auto& command : Clipboard::commandsFor(environment)) {
    result.push_back(command.destination);
  }
  return result;
}

TEST(ClipboardCommands, ToolsFollowTheDisplaysAndThePath) {
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
  EXPECT_EQ(Clipboard::commandsFor({"", ":1", "/nonexistent:" + tools.path()})[0].executable,
            tools.path() + "/xclip");

  auto commands = Clipboard::commandsFor({"", ":1", tools.path()});
  ASSERT_EQ(commands.size(), 2u);
  EXPECT_EQ(commands[0].arguments, (std::vector<std::string>{"-selection", "clipboard"}));
  EXPECT_EQ(commands[1].arguments, (std::vector<std::string>{"--clipboard", "--input"}));
}

TEST(ClipboardCommands, FilesThatCannotRunAreNotTools) {
  ToolFolder tools;
  std::ofstream(tools.file("xclip")) << "#!/bin/sh\n";  // not executable
  fs::create_directory(tools.file("xsel"));
  EXPECT_TRUE(destinations({"", ":1", tools.path()}).empty());
}

TEST(ClipboardX, CopiesWithXclipWhenWlCopyIsAbsent) {
  ToolFolder tools;
  tools.link("xclip");
  // A Wayland session is named, but without wl-copy the X tools serve.
  Clipboard clipboard({"wayland-lumo-absent", XServer::display(), tools.path()});

  const std::string link = "https://cdn.example.com/0cc175b9c0f1b6a831c399e269772661.png";
  EXPECT_EQ(clipboard.setText(link), Destination::xclip);
  EXPECT_EQ(readBack(link), link);

  // A second copy replaces the first, whatever bytes it holds.
  const std::string other = "https://cdn.example.com/v é \"quoted\" <b>.mp4";
  EXPECT_EQ(clipboard.setText(other), Destination::xclip);
  EXPECT_EQ(readBack(other), other);
  EXPECT_EQ(clipboard.memoryText(), std::nullopt);
}

TEST(ClipboardX, UsesXselWithoutXclip) {
  ToolFolder tools;
  tools.link("xsel");
  Clipboard clipboard({"", XServer::display(), tools.path()});

  const std::string link = "https://cdn.example.com/92eb5ffee6ae2fec3ad71c777531578f.gif";
  EXPECT_EQ(clipboard.setText(link), Destination::xsel);
  EXPECT_EQ(readBack(link), link);
}

TEST(ClipboardX, FallsBackToXselWhenXclipFails) {
  ToolFolder tools;
  tools.script("xclip", "/bin/cat >/dev/null; exit 1");
  tools.link("xsel");
  Clipboard clipboard({"", XServer::display(), tools.path()});

  const std::string link = "https://cdn.example.com/after-a-failing-xclip.png";
  EXPECT_EQ(clipboard.setText(link), Destination::xsel);
  EXPECT_EQ(readBack(link), link);
}

TEST(ClipboardMemory, KeepsTheTextWithoutADisplay) {
  ToolFolder tools;
  tools.link("xclip");
  tools.link("xsel");
  Clipboard clipboard({"", "", tools.path()});

  EXPECT_EQ(clipboard.memoryText(), std::nullopt);
  EXPECT_EQ(clipboard.setText("https://cdn.example.com/a.png"), Destination::memory);
  EXPECT_EQ(clipboard.memoryText(), "https://cdn.example.com/a.png");
  EXPECT_EQ(clipboard.setText(""), Destination::memory);
  EXPECT_EQ(clipboard.memoryText(), "");
}

TEST(ClipboardMemory, AnUnreachableDisplayFallsBackToMemory) {
  ToolFolder tools;
  tools.link("xclip");
  tools.link("xsel");
  int number = 5000;
  while (fs::exists("/tmp/.X11-unix/X" + std::to_string(number))) ++number;
  Clipboard clipboard({"", ":" + std::to_string(number), tools.path()});

  EXPECT_EQ(clipboard.setText("https://cdn.example.com/b.png"), Destination::memory);
  EXPECT_EQ(clipboard.memoryText(), "https://cdn.example.com/b.png");
}

TEST(ClipboardMemory, ConcurrentCopiesKeepOneWholeText) {
  Clipboard clipboard({"", "", ""});
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&clipboard, t] {
      for (int i = 0; i < 50; ++i) clipboard.setText(std::string(100, static_cast<char>('a' + t)));
    });
  }
  for (auto& thread : threads) thread.join();
  auto text = clipboard.memoryText();
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(*text, std::string(100, text->front()));
}

bool sigpipeIsDefault() {
  struct sigaction current {};
  sigaction(SIGPIPE, nullptr, &current);
  return current.sa_handler == SIG_DFL;
}

bool sigpipeBlockedOrPending() {
  sigset_t mask;
  pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  sigset_t pending;
  sigpending(&pending);
  return sigismember(&mask, SIGPIPE) || sigismember(&pending, SIGPIPE);
}

TEST(ClipboardTool, AToolThatExitsWithoutReadingDoesNotKillTheHost) {
  signal(SIGPIPE, SIG_DFL);  // the default: a stray SIGPIPE would end this test program
  ToolFolder tools;
  tools.script("xclip", "exit 0");
  Clipboard clipboard({"", ":0", tools.path()});
  // More than a pipe holds, so that the write is still going when the reader goes away.
  const std::string text(4 << 20, 'x');

  EXPECT_EQ(clipboard.setText(text), Destination::memory);
  EXPECT_TRUE(sigpipeIsDefault());
  EXPECT_FALSE(sigpipeBlockedOrPending());

  // The same from another thread, whose mask is its own.
  Destination fromThread = Destination::xclip;
  bool leftClean = false;
  std::thread([&] {
    fromThread = clipboard.setText(text);
    leftClean = !sigpipeBlockedOrPending();
  }).join();
  EXPECT_EQ(fromThread, Destination::memory);
  EXPECT_TRUE(leftClean);
  EXPECT_TRUE(sigpipeIsDefault());
}

TEST(ClipboardTool, AToolThatHangsIsKilledAndReaped) {
  ToolFolder tools;
  const fs::path pidFile = tools.file("pid");
  tools.script("xclip", "echo $$ > '" + pidFile.string() + "'; exec /bin/sleep 30");
  Clipboard clipboard({"", ":0", tools.path()}, 300ms);

  EXPECT_EQ(clipboard.setText("https://cdn.example.com/c.png"), Destination::memory);
  EXPECT_EQ(clipboard.memoryText(), "https://cdn.example.com/c.png");
  pid_t pid = 0;
  std::ifstream(pidFile) >> pid;
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
  Clipboard clipboard({"", ":0", tools.path()});

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

  pid_t pid = 0;
  std::ifstream(pidFile) >> pid;
  if (pid > 0) kill(pid, SIGKILL);
}

}  // namespace
}  // namespace lumo
