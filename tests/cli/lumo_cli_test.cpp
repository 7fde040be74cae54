// Runs the built `lumo` against the reference service, each test in a home of its own.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <set>
#include <span>
#include <sstream>
#include <thread>

#include "DevService.h"
#include "lumo/platform/MediaAsset.h"
#include "lumo/platform/PlatformImage.h"
#include "lumo/platform/Url.h"

namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;
using namespace lumo::testing_files;

struct Outcome {
  int status = -1;
  std::string out, err;
  std::vector<json> lines() const {  // every stdout line parsed as JSON
    std::vector<json> parsed;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) parsed.push_back(json::parse(line));
    return parsed;
  }
  json result(const std::string& file) const {  // the result of `file`
    const auto all = lines();
    auto it = std::ranges::find_if(all, [&](const json& l) { return l.value("file", "") == file; });
    return it == all.end() ? json() : *it;
  }
};

class Lumo : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string whyNot;
    ASSERT_TRUE(dev_ = lumo::test::DevService::get(&whyNot)) << whyNot;
    ASSERT_FALSE(home_.path().empty());
    fs::create_directories(home_ / "Documents");
    for (const std::string name : {"CONFIG", "DATA", "CACHE", "PICTURES"}) {  // lumo's home
      ::setenv(("XDG_" + name + (name == "PICTURES" ? "_DIR" : "_HOME")).c_str(),
               (home_ / name).c_str(), 1);
    }
    ::setenv("WAYLAND_DISPLAY", "", 1);
  }
  void TearDown() override {
    for (const auto& text : seen_) EXPECT_EQ(text.find(dev_->token), std::string::npos) << text;
  }

  fs::path file(const std::string& name, std::size_t size) {
    const fs::path path = home_ / "Documents" / name;
    run("head -c " + std::to_string(size) + " /dev/urandom >" + shellQuote(path));
    return path;
  }

  // Starts lumo with the test's environment (plus `extra`); stdout (to `out`, by default the
  // file "out") and stderr go to files.
  pid_t start(const std::vector<std::string>& args, std::vector<std::string> extra = {},
              std::string out = {}) {
    std::vector<std::string> environment = extra;  // the given settings win
    for (char** e = environ; *e; ++e) {
      const std::string entry = *e, name = entry.substr(0, entry.find('=') + 1);
      auto given = [&](const std::string& x) { return x.starts_with(name); };
      if (std::none_of(extra.begin(), extra.end(), given)) environment.push_back(entry);
    }
    std::vector<std::string> argv{LUMO_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (out.empty()) out = (home_ / "out").string();
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
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
    // Death by a signal reads as minus its number, never as a shell's 128 + N: an exit status
    // of 130 then proves that lumo's own Ctrl-C handling ran.
    Outcome run{WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status),
                readFile(home_ / "out"), readFile(home_ / "err")};
    seen_.insert(seen_.end(), {run.out, run.err});
    return run;
  }
  Outcome lumo(const std::vector<std::string>& args, std::vector<std::string> extra = {}) {
    return finish(start(args, std::move(extra)));
  }
  void login() { ASSERT_EQ(lumo({"login", dev_->token}).status, 0); }
  // Polls `done` for up to a minute; its last answer.
  static bool eventually(const std::function<bool()>& done) {
    for (auto until = std::chrono::steady_clock::now() + 60s; !done();
         std::this_thread::sleep_for(10ms))
      if (std::chrono::steady_clock::now() > until) return false;
    return true;
  }

  const lumo::test::DevService* dev_ = nullptr;
  TempDir home_;
  std::vector<std::string> seen_;
};

// One row per message: a command, its exit status and a part of each stream ("|" separates
// parts), run in order in one home; "@" stands for its Documents folder. A failure's result on
// standard output comes with exactly one "error:" line on standard error.
TEST_F(Lumo, EachFailureIsNamedOnceWithItsReason) {
  const std::string docs = (home_ / "Documents").string(), api = dev_->apiBase;
  file("noext", 10), file("a.bin", 10), fs::create_directory(home_ / "Documents" / "dir");
  const std::string cdn = R"({"route":"cdn",)";
  struct Row {
    std::vector<std::string> args, extra;
    int status;
    std::string out, err = {}, fault = {};  // `fault`: queued on the service first
  } rows[] = {
      // clang-format off
      {{}, {}, 2, "", "error: A subcommand is required"},
      {{"frobnicate"}, {}, 2, "", "error: "},
      {{"share"}, {}, 2, "", "error: FILE is required"},
      {{"login", "-"}, {}, 2, "", "error: empty token"},  // "-" reads standard input, here empty
      {{"--version"}, {}, 0, "lumo 0.1.0\n", ""},
      {{"help"}, {}, 0, "Usage: lumo [OPTIONS] SUBCOMMAND|-q,--quiet", ""},
      {{"share", "--help"}, {}, 0, "Usage: lumo share", ""},
      {{"profile"}, {"LUMO_API_BASE=", "LUMO_SHARE_BASE="}, 2, "", "LUMO_API_BASE and LUMO_SHARE"},
      {{"config", "set", "api-base", "not a url"}, {}, 2, "", "not start with http:// or https://"},
      {{"config", "set", "api-base", ""}, {}, 2, "", "error: api-base: an empty address"},
      {{"config", "set", "colour", "x"}, {}, 2, "", "error: KEY: colour not in"},
      {{"profile"}, {"LUMO_API_BASE=api.example.com"}, 2, "", "api-base from LUMO_API_BASE: \""},
      {{"login", " lumo dev "}, {}, 2, "", "cannot go in an HTTP header"},
      {{"login", "wrong"}, {}, 1, "", "refused the token (HTTP 401)"},
      {{"login", "--no-verify", "wrong"}, {}, 0, "logged in", ""},
      {{"profile"}, {}, 1, "", "error: the service refused the token (HTTP 401)"},
      {{"share", "@/a.bin"}, {}, 1, "failed  @/a.bin: the service refused the token", ""},
      {{"logout", "--json"}, {}, 0, R"("loggedIn":false,"ok":true)", ""},
      {{"profile"}, {}, 1, "", "error: not signed in"},
      {{"share", "@/a.bin"}, {}, 1, "failed  @/a.bin: not signed in", "error: @/a.bin: not signed"},
      {{"login", " \t" + dev_->token + "\n"}, {}, 0, "logged in", ""},  // trimmed
      {{"profile", "--json", "--verbose"}, {}, 0, R"("maxContentSize":4294967296,|"remainingDailyQuotaInBytes":)", ""},
      {{"config", "set", "api-base", "http://127.0.0.1:9"}, {}, 0, "config file: ", ""},
      {{"config", "--json"}, {"LUMO_API_BASE="}, 0, R"(:9","apiBaseSource":"config file",)"},
      {{"config", "--json"}, {}, 0, api + R"(","apiBaseSource":"environment")"},
      {{"share", "@/../Documents/dir"}, {}, 1, "failed  @/dir: is a folder\n", "@/dir: is a"},
      {{"share", "@/noext"}, {}, 1, "", "error: @/noext: has no extension"},
      {{"share", "@/gone.png"}, {}, 1, "", "error: @/gone.png: no such file"},
      {{"share", "-q", "@/a.bin"}, {"DISPLAY="}, 0, "uploaded  @/a.bin  http", ""},
      {{"share", "@/./a.bin"}, {"DISPLAY="}, 0, "", "not copied (no clipboard)|Upload completed"},
      {{"status", "@/./a.bin"}, {}, 0, "uploaded  @/a.bin\n", ""},
      {{"check", "@/a.bin"}, {}, 0, "on server  @/a.bin\n", ""},
      {{"check", "@/a.bin"}, {"LUMO_SHARE_BASE=http://127.0.0.1:9"}, 1, "", "connection refused"},
      {{"check", "@/a.bin"}, {}, 1, "", "failed: HTTP 500", cdn + R"("status":500,"count":2})"},
      {{"check", "--timeout", "1", "@/a.bin"}, {}, 1, "", "timed out", cdn + R"("delay_ms":3000,"count":2})"},
      {{"delete", "@/a.bin"}, {}, 1, "", "did not confirm the delete (state unchanged: uploaded",
       R"({"route":"upload/delete","status":500})"},
      {{"delete", "@/noext"}, {}, 1, "", "@/noext: nothing had been uploaded (state: unknown)"},
      {{"import", "--json", "@/a.bin"}, {}, 0, R"({"file":"@/a.bin","ok":true,"stored":")", ""},
      {{"inbox", "--json"}, {}, 0, R"(.bin","ok":true,"size":10})", ""},
      {{"import", "@/dir", "@/gone"}, {}, 1, "failed  @/dir: is a folder\nfailed  @/gone: no such"},
      {{"login", dev_->tokenOf("small")}, {}, 0, "logged in", ""},
      {{"share", file("big.bin", 2 << 20).string()}, {}, 1, "failed  @/big.bin: ", "error: @/big"},
      {{"demo"}, {}, 0, "Demo succeeded", ""},  // in a home of its own: the sign-in stays
      {{"profile", "--json"}, {}, 0, R"("maxContentSize":1048576,)", ""},
      {{"status"}, {}, 0, "uploaded  id /a.bin\n", ""},
      // clang-format on
  };
  auto expand = [&](std::string text) {
    for (std::size_t at; (at = text.find('@')) != std::string::npos;) text.replace(at, 1, docs);
    return text;
  };
  fs::create_directories(home_ / "CACHE");  // the intake never touches what is not its own
  std::ofstream(home_ / "CACHE/a.bin") << "another application's";
  for (auto& row : rows) {
    for (auto& arg : row.args) arg = expand(arg);
    EXPECT_TRUE(row.fault.empty() || dev_->fault(json::parse(row.fault)));
    const Outcome run = lumo(row.args, row.extra);
    const std::string what = ::testing::PrintToString(row.args) + "\n" + run.out + run.err;
    EXPECT_EQ(run.status, row.status) << what;
    for (const auto& [expected, stream] : {std::pair{row.out, &run.out}, {row.err, &run.err}}) {
      std::istringstream parts(expand(expected));
      for (std::string part; std::getline(parts, part, '|');)
        EXPECT_NE(stream->find(part), std::string::npos) << what;
    }
    auto count = [](const std::string& text, const char* word) {
      const std::regex pattern(word);
      return std::distance(std::sregex_iterator(text.begin(), text.end(), pattern), {});
    };
    const auto failed = count(run.out, "failed  ");
    EXPECT_TRUE(!failed || count(run.err, "error: ") == failed) << what;
    EXPECT_TRUE(row.args.size() < 2 || row.args[1] != "-q" || run.status || run.err.empty());
  }
  EXPECT_EQ(readFile(home_ / "CACHE/a.bin"), "another application's");
  // A write to standard output that fails is an error.
  EXPECT_EQ(finish(start({"status", docs + "/a.bin"}, {}, "/dev/full")).status, 1);
  EXPECT_NE(readFile(home_ / "err").find("error: cannot write the results"), std::string::npos);
}

TEST_F(Lumo, ShareStatusCheckDeleteKeepTheStates) {
  login();
  const fs::path shot = home_ / "Documents" / "shot.png", cast = home_ / "Documents" / "cast.mp4";
  const std::string ffmpeg = "ffmpeg -v error -y -f lavfi -i testsrc=size=64x48 ";
  ASSERT_EQ(std::system((ffmpeg + "-frames:v 1 '" + shot.string() + "'").c_str()), 0);
  ASSERT_EQ(std::system((ffmpeg + "-t 1 -pix_fmt yuv420p '" + cast.string() + "'").c_str()), 0);
  const fs::path other = file("notes.bin", 300000);
  const fs::path odd1 = file("odd\xff.bin", 10), odd2 = file("odd\xfe.bin", 10);  // not UTF-8
  const Outcome share = lumo({"share", "--json", shot.string(), other.string(), odd1.string(),
                              odd2.string(), cast.string()});
  EXPECT_EQ(share.status, 0) << share.err;
  EXPECT_EQ(share.lines().size(), 5u) << share.out;  // one result per file, nothing else
  // Its states as events on standard error: the last two are "uploading" and "uploaded".
  const std::string event = R"({"event":"state","file":")" + other.string() + R"(","state":")";
  const auto last = share.err.rfind(event);
  EXPECT_TRUE(share.err.find(event + "uploading") < last &&
              share.err.substr(last).starts_with(event + "uploaded\"}"))
      << share.err;
  // A screencast's link is its page's.
  const std::string page = "/v" + run("md5sum < '" + cast.string() + "'").substr(0, 32) + ".mp4";
  EXPECT_TRUE(share.result(cast.string()).value("link", "").ends_with(page)) << share.out;
  for (const auto& path : {shot, other}) {
    const json result = share.result(path.string());
    ASSERT_EQ(result["ok"], true) << share.out << share.err;
    const auto fetched = dev_->call("GET", result["link"]);
    EXPECT_EQ(fetched.status, 200);
    EXPECT_EQ(fetched.text(), readFile(path));
  }
  if (std::getenv("DISPLAY") && std::system("command -v xclip >/dev/null") == 0) {
    EXPECT_EQ(run("xclip -o -selection clipboard"), share.lines().back()["link"]);
    EXPECT_NE(share.err.find("link on the X clipboard"), std::string::npos) << share.err;
#ifdef LUMO_HOST_EXAMPLE
    // The example host calls nothing of the clipboard's: its link still pastes after it exits.
    const std::string bin = file("host.bin", 100).string();
    run("XDG_DATA_HOME=" + (home_ / "host").string() + " " LUMO_HOST_EXAMPLE " " + dev_->token +
        " " + bin);
    EXPECT_TRUE(run("xclip -o -selection clipboard")
                    .ends_with(run("md5sum <" + bin).substr(0, 32) + ".bin"));
#endif
  }
  const Outcome all = lumo({"status", "--json"});
  ASSERT_EQ(all.lines().size(), 5u) << all.out;
  EXPECT_NE(all.out.find(R"("id":"/odd%FE.bin")"), std::string::npos) << all.out;
  EXPECT_NE(all.out.find(R"("id":"/odd%FF.bin")"), std::string::npos) << all.out;
  EXPECT_EQ(lumo({"status", "--json", other.string()}).lines().at(0)["state"], "uploaded");

  EXPECT_EQ(lumo({"check", "--json", other.string()}).lines().back()["onServer"], true);
  const Outcome removed = lumo({"delete", "--json", other.string()});
  EXPECT_EQ(removed.status, 0) << removed.err;
  EXPECT_EQ(removed.result(other.string())["state"], "notUploaded");
  EXPECT_EQ(dev_->call("GET", share.result(other.string())["link"]).status, 403);
  EXPECT_EQ(lumo({"check", "--json", other.string()}).lines().back()["onServer"], false);
  // Nothing left to delete: the state stays and the delete fails, saying so.
  EXPECT_NE(lumo({"delete", other.string()}).err.find("nothing had been uploaded (state: notUp"),
            std::string::npos);
  EXPECT_EQ(lumo({"status", "--json", other.string()}).lines().at(0)["state"], "notUploaded");
}

TEST_F(Lumo, CtrlCCancelsTheUploadAndEndsACheckAtOnce) {
  login();
  const fs::path large = file("large.bin", 256u << 20);
  const pid_t pid = start({"share", "--json", large.string()});
  const bool uploading = eventually(
      [&] { return readFile(home_ / "err").find("\"uploading\"") != std::string::npos; });
  ::kill(pid, uploading ? SIGINT : SIGKILL);
  const Outcome run = finish(pid);
  ASSERT_TRUE(uploading) << run.out << run.err;
  EXPECT_EQ(run.status, 130) << run.err;
  EXPECT_EQ(run.result(large.string())["state"], "cancelled") << run.out;
  EXPECT_EQ(lumo({"status", "--json", large.string()}).lines().at(0)["state"], "cancelled");
  // Both HEAD requests (the library's and lumo's) are held for ten minutes once the fault is
  // used up: a check has nothing to cancel, and Ctrl-C ends it while they are.
  ASSERT_TRUE(dev_->fault({{"route", "cdn"}, {"delay_ms", 600000}, {"count", 2}}));
  const pid_t check = start({"check", file("small.bin", 10).string()});
  EXPECT_TRUE(eventually([&] {
    return dev_->call("GET", "/__dev__/faults").text().find("cdn") == std::string::npos;
  }));
  ::kill(check, SIGINT);
  int status = 0;
  EXPECT_TRUE(eventually([&] { return ::waitpid(check, &status, WNOHANG) == check; }))
      << "still running";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << status;
  if (!WIFEXITED(status)) ::kill(check, SIGKILL), ::waitpid(check, &status, 0);
}

// The states only grow: a valid states file of any size survives a status and a share.
TEST_F(Lumo, LargeStatesFileKeepsEveryEntry) {
  login();
  const fs::path states = home_ / "DATA/lumo/share_states.json", added = file("new.bin", 1000);
  std::size_t entries = 0;
  std::string text = "[";
  while (text.size() < 26'000'000)
    text += R"({"id":"/old)" + std::to_string(entries++) + R"(","state":"uploaded"},)";
  text.back() = ']';
  std::ofstream(states) << text;  // the internal folder is the host's, made by the login
  EXPECT_EQ(lumo({"status", added.string()}).status, 0);
  EXPECT_EQ(lumo({"share", added.string()}).status, 0);
  std::set<std::string> ids;
  for (const auto& entry : json::parse(readFile(states))) ids.insert(entry.value("id", ""));
  EXPECT_EQ(ids.size(), entries + 1);  // distinct ids: every old one and the new file's
  EXPECT_EQ(ids.count("/new.bin"), 1u);
}

// In a terminal the progress is one line, redrawn in place, that ends at 100%.
TEST_F(Lumo, ProgressLineRedrawsInPlace) {
  if (std::system("command -v tmux >/dev/null") != 0) GTEST_SKIP() << "tmux is not installed";
  login();
  const fs::path big = file("progress.bin", 120u << 20);
  // The session inherits lumo's home from this process.
  const std::string command =
      "'" + std::string(LUMO_BINARY) + "' share '" + big.string() + "'; echo EXIT=$?; sleep 60";
  const std::string tmux = "tmux -L lumo-cli-" + std::to_string(::getpid());
  run(tmux + " -f /dev/null new-session -d -x 150 -y 30 \"" + command + "\"");
  std::string pane;
  eventually(
      [&] { return (pane = run(tmux + " capture-pane -p")).find("EXIT=") != std::string::npos; });
  run(tmux + " kill-server");
  seen_.push_back(pane);
  EXPECT_NE(pane.find("EXIT=0"), std::string::npos) << pane;
  EXPECT_EQ(pane.find("Uploading"), pane.rfind("Uploading")) << pane;  // one line, redrawn
  EXPECT_NE(pane.find("Uploading 100%"), std::string::npos) << pane;
}

// The desktop's commands, under the X display of the run (scripts/test starts Xvfb).
class Desktop : public Lumo {
 protected:
  void SetUp() override {
    Lumo::SetUp();
    ASSERT_TRUE(std::getenv("DISPLAY")) << "no DISPLAY: start Xvfb (scripts/lib/services.sh)";
    writeFile(home_ / "CONFIG/user-dirs.dirs",  // where the library puts captures
              "XDG_PICTURES_DIR=\"" + (home_ / "PICTURES").string() + "\"\n");
    login();
  }
  std::vector<fs::path> captures() const {
    std::vector<fs::path> all;
    for (const auto& entry : fs::directory_iterator(home_ / "PICTURES/Lumo", ec_))
      all.push_back(entry);
    return all;
  }
  std::string fetch(const std::string& url) const {
    const auto reply = dev_->call("GET", url);
    EXPECT_EQ(reply.status, 200) << url;
    return reply.text();
  }
  mutable std::error_code ec_;
};

// The signals sent: none (a timed recording), Ctrl-C or SIGTERM, each shared (page, thumbnail
// and video); or a second Ctrl-C while the recording is finished, which quits at once (130):
// the recorder still completes the file, which is kept unshared.
TEST_F(Desktop, RecordSharesAScreencastUntilStopped) {
  for (const std::vector<int>& signals :
       {std::vector<int>{}, {SIGINT}, {SIGTERM}, {SIGINT, SIGINT}}) {
    const bool shared = signals.size() < 2;
    fs::remove_all(home_ / "PICTURES");
    const pid_t pid = start({"record", "--json", "--seconds", signals.empty() ? "2" : "3600"});
    fs::path file;  // signalled once the recorder writes: before, there is nothing to keep
    EXPECT_TRUE(eventually([&] {
      const auto all = captures();
      return all.size() == 1 && fs::file_size(file = all[0], ec_) > 0;
    }));
    for (std::size_t i = 0; i < signals.size(); ++i) {
      EXPECT_TRUE(!i || eventually([&] {
        return readFile(home_ / "err").find("finishing the recording") != std::string::npos;
      }));
      ::kill(pid, signals[i]);
    }
    const Outcome ended = finish(pid);
    EXPECT_EQ(ended.status, (shared ? 0 : 130)) << signals.size() << ended.err;
    EXPECT_TRUE(file.filename().string().starts_with("Screen Cast ") && file.extension() == ".mp4");
    const std::string ffmpeg = "pgrep -f 'x11gra[b].*" + file.filename().string() + "' || true";
    EXPECT_TRUE(eventually([&] { return run(ffmpeg).empty(); })) << file;
    const double seconds = lumo::MediaAsset::make(lumo::Url::fileURL(file))->duration().seconds();
    EXPECT_TRUE(signals.empty() ? std::abs(seconds - 2) <= 0.3 : seconds > 0) << seconds;
    const json result = ended.result(file.string());
    ASSERT_EQ(result.is_object(), shared) << ended.out;
    if (!shared) continue;
    const std::string page = result.value("link", "");
    std::string video = page;  // "…/vMD5.mp4" is the page of "…/MD5.mp4"
    video.erase(video.rfind("/v") + 1, 1);
    EXPECT_NE(fetch(page).find(video), std::string::npos);
    EXPECT_TRUE(fetch(video.substr(0, video.size() - 4) + ".png").starts_with("\x89PNG"));
    EXPECT_EQ(fetch(video), readFile(file));
    EXPECT_EQ(run("xclip -o -selection clipboard"), page);
  }
}

// What is copied (a type and its bytes), the command, and what it says ("@": the Documents
// folder). The image (noise: larger than one X request, it comes in parts) is a new capture.
TEST_F(Desktop, PasteSharesAnImageOrFilesAndSaysWhatIsMissing) {
  std::vector<std::uint8_t> pixels(800 * 600 * 4);
  for (std::uint32_t seed = 23; auto& p : pixels) p = (seed = seed * 1103515245u + 12345u) >> 24;
  const auto png = lumo::PlatformImage::fromRGBA(800, 600, pixels)->pngRepresentation();
  file("a.bin", 100), file("b c.bin", 200);
  const struct {
    std::string type, copied;
    std::vector<std::string> args, extra;
    int status;
    std::string says;
  } rows[] = {
      // clang-format off
      {"image/png", std::string(png->begin(), png->end()), {"paste", "--json"}, {}, 0, R"("ok":true)"},
      {"text/uri-list", "# two files\r\nfile://@/a.bin\r\nfile://@/b%20c.bin\r\n", {"paste"}, {}, 0,
       "uploaded  @/a.bin  http|uploaded  @/b c.bin  http"},
      {"text/uri-list", "file://@/a.bin\nhttps://example.com/a.png\n", {"paste"}, {}, 1,
       "error: only files can be shared: the copied https://example.com/a.png is not a file://"},
      {"UTF8_STRING", "text", {"paste"}, {}, 1, "neither an image (image/png) nor copied files"},
      {"", "", {"paste"}, {"PATH=" + home_.path().string()}, 1, "xclip is not installed"},
      {"", "", {"record"}, {"PATH=" + home_.path().string()}, 1,
       "error: recording the screen needs ffmpeg, which is not installed (Debian package: ffmpeg)"},
      {"", "", {"record"}, {"PATH=" + home_.path().string(), "WAYLAND_DISPLAY=wayland-none"}, 1,
       "needs wf-recorder, which is not installed (Debian package: wf-recorder)"},
      // clang-format on
  };
  auto expand = [&](std::string text) {
    for (std::size_t at; (at = text.find('@')) != std::string::npos;)
      text.replace(at, 1, (home_ / "Documents").string());
    return text;
  };
  std::optional<Outcome> image;
  for (const auto& row : rows) {
    writeFile(home_ / "copied", row.type == "image/png" ? row.copied : expand(row.copied));
    if (!row.type.empty())  // xclip's server keeps its output open
      run("xclip -selection clipboard -t " + row.type + " -i " + (home_ / "copied").string() +
          " >/dev/null 2>&1");
    const Outcome pasted = lumo(row.args, row.extra);
    if (!image) image = pasted;
    EXPECT_EQ(pasted.status, row.status) << row.type << pasted.err;
    std::istringstream parts(expand(row.says));
    for (std::string part; std::getline(parts, part, '|');)
      EXPECT_NE((pasted.out + pasted.err).find(part), std::string::npos) << pasted.out + pasted.err;
  }
  const auto shots = captures();  // the image's alone
  ASSERT_EQ(shots.size(), 1u);
  EXPECT_TRUE(shots[0].filename().string().starts_with("Screen Shot ")) << shots[0];
  const std::string fetched = fetch(image->result(shots[0].string()).value("link", ""));
  const auto decoded = lumo::PlatformImage::fromData(
      std::span(reinterpret_cast<const std::uint8_t*>(fetched.data()), fetched.size()));
  EXPECT_EQ(decoded ? decoded->rgbaPixels() : std::nullopt, pixels);
}

// Captures under the X server of DISPLAY (Xvfb in the test runs): the screen, a
// region dragged in slop by xdotool, the next free name, a cancelled selection, no tool at all.
TEST_F(Lumo, CaptureSavesTheScreenUnderTheNextFreeNameAndSharesIt) {
  ASSERT_TRUE(std::getenv("DISPLAY")) << "needs an X server: scripts/test starts Xvfb";
  login();
  const std::vector<std::string> home{"HOME=" + home_.path().string()};
  const fs::path folder = home_ / "Pictures/Lumo", empty = home_ / "no-tools";
  std::error_code ec;
  fs::create_directories(empty);
  run("xsetroot -solid '#3366cc'");
  int width = 0, height = 0;  // the screen's
  std::sscanf(run("xwininfo -root | grep -E 'Width|Height'").c_str(), " Width: %d Height: %d",
              &width, &height);
  auto capture = [&](std::vector<std::string> args, std::vector<std::string> extra = {}) {
    args.insert(args.begin(), {"capture", "--json"});
    extra.insert(extra.end(), home.begin(), home.end());
    return lumo(args, extra);
  };
  auto shot = [](const Outcome& run) { return fs::path(run.lines().at(0).value("file", "")); };
  auto pixels = [](const fs::path& file, int width, int height) {
    const std::string bytes = readFile(file);
    auto image = lumo::PlatformImage::fromData(
        std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
    if (!image || image->pixelsWide() != width || image->pixelsHigh() != height) return false;
    const auto rgba = image->rgbaPixels().value_or(std::vector<std::uint8_t>{});
    for (std::size_t i = 0; i + 3 < rgba.size(); i += 4)
      if (rgba[i] != 0x33 || rgba[i + 1] != 0x66 || rgba[i + 2] != 0xcc) return false;
    return !rgba.empty();
  };
  // Two captures within one second: the second takes " 2" (tried until a pair shares a second).
  Outcome first, second;
  for (int pair = 0; pair < 5; ++pair) {
    first = capture({"--screen", "--no-share"}), second = capture({"--no-share"});
    ASSERT_EQ(first.status + second.status, 0) << first.err << second.err;
    if (shot(second).filename() != shot(first).filename()) {
      if (shot(second).stem().string().ends_with(" 2")) break;
      fs::remove(shot(first)), fs::remove(shot(second));
    }
  }
  EXPECT_EQ(shot(first).parent_path(), folder);
  EXPECT_TRUE(matchesShape(shot(first).filename(), "Screen Shot *-##-## at *.##.## ?M.png"));
  EXPECT_EQ(shot(second), folder / (shot(first).stem().string() + " 2.png"));
  EXPECT_TRUE(pixels(shot(first), width, height) && pixels(shot(second), width, height));
  // Shared: the link fetches the file's bytes.
  const Outcome shared = capture({});
  ASSERT_EQ(shared.status, 0) << shared.err;
  const json result = shared.lines().back();
  EXPECT_EQ(dev_->call("GET", result.value("link", "")).text(), readFile(result.value("file", "")));
  // A region dragged in slop; then selections given up with Escape and with a right click.
  const std::pair<std::string, std::string> drags[] = {
      // a key or button held until seen
      {"mousemove 100 100 mousedown 1", "mouseup 1"},
      {"keydown Escape", "keyup Escape"},
      {"mousedown 3", "mouseup 3"}};
  // slop's window has the selection's shape (1 pixel of border): the screen until a press.
  auto shape = [](const std::string& window) {
    const std::string info = run("xwininfo -shape -id " + window + " 2>&1 || true");
    const auto at = info.find("Window shape extents:");
    return at == std::string::npos ? std::string()
                                   : info.substr(at + 23, info.find('\n', at) - at - 23);
  };
  const auto before = std::distance(fs::directory_iterator(folder), {});
  for (const auto& [press, release] : drags) {
    const bool dragged = press.ends_with("1");
    const pid_t pid = start({"capture", "--json", "--region", "--no-share"}, home);
    std::string window;
    ASSERT_TRUE(eventually([&] {
      window = run("xdotool search --class slop 2>/dev/null || true");
      return !window.empty() &&
             shape(window = window.substr(0, window.find('\n'))) ==
                 std::to_string(width + 2) + "x" + std::to_string(height + 2) + "+-1+-1";
    }));
    run("xdotool " + press);
    if (dragged) {
      EXPECT_TRUE(eventually([&] { return shape(window) == "3x3+99+99"; }));
      run("xdotool mousemove 250 180");
      EXPECT_TRUE(eventually([&] { return shape(window) == "153x83+99+99"; }));
      run("xdotool " + release);
    }
    int status = 0;
    EXPECT_TRUE(eventually([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }));
    if (!dragged) run("xdotool " + release);
    EXPECT_EQ(WEXITSTATUS(status), dragged ? 0 : 130) << readFile(home_ / "err");
    const json out = json::parse(readFile(home_ / "out"));
    EXPECT_TRUE(!dragged || pixels(out.value("file", ""), 151, 81)) << out;
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), {}), before + 1);  // none cancelled
  // No tool, then maim alone: each names what to install.
  for (const std::string why : {"tool found: install maim (X11) or grim", "maim needs slop: in"}) {
    const Outcome none = capture({"--region", "--no-share"}, {"PATH=" + empty.string()});
    EXPECT_TRUE(none.status == 1 && none.err.find(why) != std::string::npos) << none.err;
    fs::create_symlink("/usr/bin/maim", empty / "maim", ec);
  }
}

}  // namespace
