// Runs the built `lumo` against the reference service, each test in a home of its own.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using namespace std::chrono_literals;

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::string readText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// What `command` writes to standard output.
std::string commandOutput(const std::string& command) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  char buffer[4096];
  for (std::size_t n; pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
    out.append(buffer, n);
  }
  if (pipe) ::pclose(pipe);
  return out;
}

void writeRandom(const fs::path& path, std::size_t size) {
  std::mt19937_64 random{std::random_device{}()};
  std::vector<std::uint64_t> block(1 << 16);
  std::ofstream out(path, std::ios::binary);
  for (std::size_t written = 0; written < size;) {
    for (auto& word : block) word = random();
    const std::size_t n = std::min(size - written, block.size() * sizeof(std::uint64_t));
    out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(n));
    written += n;
  }
}

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
  std::vector<json> lines() const {  // every stdout line parsed as JSON
    std::vector<json> parsed;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) parsed.push_back(json::parse(line));
    return parsed;
  }
  json result(const std::string& file) const {  // the result object (not an event) of `file`
    for (const auto& line : lines()) {
      if (line.value("file", "") == file && !line.contains("event")) return line;
    }
    return json();
  }
};

class Lumo : public ::testing::Test {
 protected:
  void SetUp() override {
    if (env("LUMO_API_BASE").empty() || env("LUMO_DEV_TOKEN").empty()) {
      GTEST_FAIL() << "the reference service is not configured (LUMO_API_BASE, LUMO_DEV_TOKEN); "
                      "start it first with: eval \"$(scripts/devstack start)\"";
    }
    std::string pattern = (fs::temp_directory_path() / "lumo-cli-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    home_ = pattern;
    fs::create_directories(home_ / "Documents");
    vars_ = {"XDG_CONFIG_HOME=" + (home_ / "config").string(),
             "XDG_DATA_HOME=" + (home_ / "data").string(),
             "XDG_CACHE_HOME=" + (home_ / "cache").string(),
             "XDG_PICTURES_DIR=" + (home_ / "pictures").string(), "WAYLAND_DISPLAY="};
  }
  void TearDown() override {
    const std::string token = env("LUMO_DEV_TOKEN");
    for (const auto& text : seen_) EXPECT_EQ(text.find(token), std::string::npos) << text;
    std::error_code ec;
    if (!home_.empty()) fs::remove_all(home_, ec);
  }

  fs::path file(const std::string& name, std::size_t size) {
    const fs::path path = home_ / "Documents" / name;
    writeRandom(path, size);
    return path;
  }

  // Starts lumo with the test's environment (plus `extra`); stdout and stderr go to files.
  pid_t start(const std::vector<std::string>& args, std::vector<std::string> extra = {}) {
    std::map<std::string, std::string> variables;  // later settings win
    auto set = [&variables](const std::string& entry) {
      const auto equals = entry.find('=');
      if (equals != std::string::npos)
        variables[entry.substr(0, equals)] = entry.substr(equals + 1);
    };
    for (char** e = environ; *e; ++e) set(*e);
    for (const auto& entry : vars_) set(entry);
    for (const auto& entry : extra) set(entry);
    std::vector<std::string> environment;
    for (const auto& [name, value] : variables) environment.push_back(name + "=" + value);
    std::vector<std::string> argv{LUMO_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, (home_ / "out").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, (home_ / "err").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    auto pointers = [](std::vector<std::string>& v) {
      std::vector<char*> p;
      for (auto& s : v) p.push_back(s.data());
      p.push_back(nullptr);
      return p;
    };
    auto argvp = pointers(argv);
    auto envp = pointers(environment);
    pid_t pid = -1;
    EXPECT_EQ(::posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, argvp.data(), envp.data()),
              0);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
  }
  Outcome finish(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    Outcome run{WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
                readText(home_ / "out"), readText(home_ / "err")};
    seen_.push_back(run.out);
    seen_.push_back(run.err);
    return run;
  }
  Outcome lumo(const std::vector<std::string>& args, std::vector<std::string> extra = {}) {
    return finish(start(args, std::move(extra)));
  }
  void login(const std::string& token = env("LUMO_DEV_TOKEN")) {
    ASSERT_EQ(lumo({"login", token}).status, 0);
  }
  static int curlStatus(const std::string& url, const fs::path& to) {
    return std::atoi(
        commandOutput("curl -s -o '" + to.string() + "' -w '%{http_code}' '" + url + "'").c_str());
  }

  fs::path home_;
  std::vector<std::string> vars_;
  std::vector<std::string> seen_;
};

TEST_F(Lumo, UsageHelpConfigAndAccount) {
  EXPECT_EQ(lumo({}).status, 2);
  EXPECT_EQ(lumo({"frobnicate"}).status, 2);
  EXPECT_EQ(lumo({"share"}).status, 2);
  EXPECT_EQ(lumo({"login", "-"}).status, 2);  // "-" reads standard input, here empty
  for (const char* command : {"login", "share", "status", "check", "delete", "import", "config"}) {
    const Outcome help = lumo({command, "--help"});
    EXPECT_EQ(help.status, 0) << command;
    EXPECT_NE(help.out.find("Usage"), std::string::npos) << command;
  }
  // Without addresses lumo names the variables to set.
  const Outcome unset = lumo({"profile"}, {"LUMO_API_BASE=", "LUMO_SHARE_BASE="});
  EXPECT_EQ(unset.status, 2);
  EXPECT_NE(unset.err.find("LUMO_API_BASE and LUMO_SHARE_BASE"), std::string::npos) << unset.err;
  // The config file supplies them; the environment wins over it.
  ASSERT_EQ(lumo({"config", "set", "api-base", "http://127.0.0.1:9"}).status, 0);
  const json config = lumo({"config", "--json"}, {"LUMO_API_BASE="}).lines().at(0);
  EXPECT_EQ(config["apiBase"], "http://127.0.0.1:9");
  EXPECT_EQ(config["apiBaseSource"], "config file");
  EXPECT_EQ(lumo({"config", "--json"}).lines().at(0)["apiBase"], env("LUMO_API_BASE"));
  EXPECT_EQ(lumo({"config", "set", "colour", "x"}).status, 2);

  EXPECT_EQ(lumo({"profile"}).status, 1);  // signed out
  login();
  const Outcome profile = lumo({"profile", "--json", "--verbose"});
  ASSERT_EQ(profile.status, 0) << profile.err;
  const json p = profile.lines().at(0);
  EXPECT_TRUE(p["ok"]);
  EXPECT_GT(p["maxContentSize"].get<std::uint64_t>(), 1u << 30);  // the dev plan, not defaults
  EXPECT_TRUE(p.contains("remainingDailyQuotaInBytes"));
  EXPECT_EQ(lumo({"logout", "--json"}).lines().at(0)["loggedIn"], false);
  EXPECT_EQ(lumo({"profile"}).status, 1);
}

TEST_F(Lumo, ShareStatusCheckDeleteKeepTheStates) {
  login();
  const fs::path shot = file("shot.png", 0);
  const std::string ffmpeg = "ffmpeg -v error -y -f lavfi -i testsrc=size=64x48 -frames:v 1 '";
  ASSERT_EQ(std::system((ffmpeg + shot.string() + "'").c_str()), 0);
  const fs::path other = file("notes.bin", 300000);
  const Outcome share = lumo({"share", "--json", shot.string(), other.string(), "missing.txt"});
  EXPECT_EQ(share.status, 1) << share.err;  // the missing file fails, the others upload
  EXPECT_EQ(share.result("missing.txt")["ok"], false);
  std::string states;  // of the second file, in order
  for (const auto& line : share.lines()) {
    const bool mine = line.value("event", "") == "state" && line["file"] == other.string();
    states += mine ? line["state"].get<std::string>() + " " : "";
  }
  EXPECT_TRUE(states.ends_with("uploading uploaded ")) << states;
  std::string lastLink;
  for (const auto& path : {shot, other}) {
    const json result = share.result(path.string());
    ASSERT_EQ(result["ok"], true) << share.out << share.err;
    lastLink = result["link"];
    EXPECT_EQ(curlStatus(lastLink, home_ / "fetched"), 200);
    EXPECT_EQ(readText(home_ / "fetched"), readText(path));
  }
  if (!env("DISPLAY").empty() && std::system("command -v xclip >/dev/null") == 0) {
    EXPECT_EQ(commandOutput("xclip -o -selection clipboard"), lastLink);
  }

  // Status reads the states file, with or without files named.
  const Outcome all = lumo({"status", "--json"});
  ASSERT_EQ(all.status, 0);
  EXPECT_EQ(all.lines().size(), 2u) << all.out;
  EXPECT_EQ(lumo({"status", "--json", other.string()}).lines().at(0)["state"], "uploaded");
  const Outcome text = lumo({"status", other.string()});
  EXPECT_EQ(text.out, "uploaded  " + other.string() + "\n");

  const Outcome check = lumo({"check", "--json", other.string()});
  EXPECT_EQ(check.status, 0) << check.err;
  EXPECT_EQ(check.lines().back()["onServer"], true);

  const Outcome removed = lumo({"delete", "--json", other.string()});
  EXPECT_EQ(removed.status, 0) << removed.err;
  EXPECT_EQ(removed.result(other.string())["state"], "notUploaded");
  EXPECT_EQ(curlStatus(share.result(other.string())["link"], home_ / "fetched"), 403);
  const Outcome gone = lumo({"check", "--json", other.string()});
  EXPECT_EQ(gone.status, 0);
  EXPECT_EQ(gone.lines().back()["onServer"], false);
  // Nothing left to delete: the state stays and the delete fails.
  EXPECT_EQ(lumo({"delete", other.string()}).status, 1);
  EXPECT_EQ(lumo({"status", "--json", other.string()}).lines().at(0)["state"], "notUploaded");
}

TEST_F(Lumo, QuotaFailureSaysWhichAndWhy) {
  const json health = json::parse(
      commandOutput("curl -s " + env("LUMO_API_BASE") + "/__dev__/health"), nullptr, false);
  const std::string small = health.value("/tokens/small"_json_pointer, "");
  ASSERT_FALSE(small.empty());
  login(small);
  const fs::path big = file("big.bin", 2 << 20);  // over the 1 MiB a file of that plan
  const Outcome share = lumo({"share", big.string()});
  EXPECT_EQ(share.status, 1);
  EXPECT_NE(share.out.find("failed  " + big.string() + ": "), std::string::npos) << share.out;
  EXPECT_EQ(seen_.back().find(small), std::string::npos);
}

TEST_F(Lumo, CtrlCCancelsTheUploadAndSavesCancelled) {
  login();
  const fs::path large = file("large.bin", 256u << 20);
  const pid_t pid = start({"share", "--json", large.string()});
  bool uploading = false;
  for (auto until = std::chrono::steady_clock::now() + 60s;
       !uploading && std::chrono::steady_clock::now() < until;) {
    uploading = readText(home_ / "out").find("\"uploading\"") != std::string::npos;
    std::this_thread::sleep_for(5ms);
  }
  if (!uploading) ::kill(pid, SIGKILL);
  ::kill(pid, SIGINT);
  const Outcome run = finish(pid);
  ASSERT_TRUE(uploading) << run.out << run.err;
  EXPECT_EQ(run.status, 130) << run.err;
  EXPECT_EQ(run.result(large.string())["state"], "cancelled") << run.out;
  EXPECT_EQ(lumo({"status", "--json", large.string()}).lines().at(0)["state"], "cancelled");
}

// The states only grow: a valid states file of any size survives a status and a share.
TEST_F(Lumo, LargeStatesFileKeepsEveryEntry) {
  login();
  const fs::path states = home_ / "data/lumo/share_states.json", added = file("new.bin", 1000);
  std::size_t entries = 0;
  std::string text = "[";
  while (text.size() < 26'000'000) {
    text += R"({"id":"/old)" + std::to_string(entries++) + R"(","state":"uploaded"},)";
  }
  text.back() = ']';
  std::ofstream(states) << text;  // the internal folder is the host's, made by the login
  EXPECT_EQ(lumo({"status", added.string()}).status, 0);
  EXPECT_EQ(lumo({"share", added.string()}).status, 0);
  std::set<std::string> ids;
  for (const auto& entry : json::parse(readText(states))) ids.insert(entry.value("id", ""));
  EXPECT_EQ(ids.size(), entries + 1);
  for (std::size_t i = 0; i < entries; ++i) ids.erase("/old" + std::to_string(i));
  EXPECT_EQ(ids.size(), 1u);  // the new file's
}

TEST_F(Lumo, ImportTakesFilesIntoSharedStorage) {
  const fs::path a = file("a.txt", 10);
  fs::create_directories(home_ / "cache");
  fs::copy_file(file("b.txt", 10), home_ / "cache/a.txt");  // another application's file
  const Outcome run = lumo({"import", "--json", a.string()});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string imported = run.lines().at(0)["imported"];
  EXPECT_EQ(readText(imported), readText(a));
  EXPECT_EQ(readText(home_ / "cache/a.txt"), readText(home_ / "Documents/b.txt"));
  EXPECT_EQ(fs::path(imported).parent_path().filename(), "Caches");
  const Outcome inbox = lumo({"inbox", "--json"});
  ASSERT_EQ(inbox.lines().size(), 1u);
  EXPECT_EQ(inbox.lines()[0]["file"], imported);
  EXPECT_EQ(lumo({"import", (home_ / "nothing").string()}).status, 1);
}

// In a terminal the progress is one line, redrawn in place, that ends at 100%.
TEST_F(Lumo, ProgressLineRedrawsInPlace) {
  if (std::system("command -v tmux >/dev/null") != 0) GTEST_SKIP() << "tmux is not installed";
  login();
  const fs::path big = file("progress.bin", 120u << 20);
  const std::string socket = "lumo-cli-" + std::to_string(::getpid());
  std::string command = "env";
  for (const auto& v : vars_) command += " '" + v + "'";
  command +=
      " '" + std::string(LUMO_BINARY) + "' share '" + big.string() + "'; echo EXIT=$?; sleep 60";
  const std::string tmux = "tmux -L " + socket;
  ASSERT_EQ(
      std::system((tmux + " -f /dev/null new-session -d -x 150 -y 30 \"" + command + "\"").c_str()),
      0);
  std::string pane;
  for (auto until = std::chrono::steady_clock::now() + 120s;
       pane.find("EXIT=") == std::string::npos && std::chrono::steady_clock::now() < until;) {
    std::this_thread::sleep_for(200ms);
    pane = commandOutput(tmux + " capture-pane -p");
  }
  [[maybe_unused]] int ignored = std::system((tmux + " kill-server").c_str());
  seen_.push_back(pane);
  EXPECT_NE(pane.find("EXIT=0"), std::string::npos) << pane;
  int progressLines = 0;
  std::string last;
  std::istringstream in(pane);
  for (std::string line; std::getline(in, line);) {
    if (line.find("Uploading") != std::string::npos) {
      ++progressLines;
      last = line;
    }
  }
  EXPECT_EQ(progressLines, 1) << pane;
  EXPECT_NE(last.find("Uploading 100%"), std::string::npos) << pane;
}

}  // namespace
