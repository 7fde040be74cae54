#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <future>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <thread>

#include "../capture/TestFiles.h"
#include "StatesTestHost.h"
#include "lumo/capture/Screenshot.h"
#include "lumo/sharing/ShareServiceError.h"
#include "lumo/sharing/ShareStatesManager.h"
#include "lumo/support/DispatchQueue.h"

extern char** environ;

namespace lumo {
namespace {

using namespace testing_files;
using namespace states_test;
using namespace std::chrono_literals;
using StateMap = std::map<std::string, std::string>;
using S = ShareState;

constexpr const char* kIncorrect =
    "States file is incorrect. Trying delete it and save a new one...\n";
constexpr const char* kFormat =
    "\u2764\uFE0F The data couldn't be read because it isn't in the correct format., [:]\n";
constexpr const char* kMissing =
    "\u2764\uFE0F The data couldn't be read because it is missing., [:]\n";
constexpr const char* kCannotWrite = "\u2764\uFE0F Cannot write the states file";

// The states of a states file, id to raw state; a test failure unless it is an array of
// {"id", "state"} objects with distinct ids.
StateMap parseStates(const std::string& text) {
  StateMap states;
  const auto doc = nlohmann::json::parse(text, nullptr, false);
  EXPECT_TRUE(doc.is_array()) << text.substr(0, 200);
  for (const auto& item : doc.is_array() ? doc : nlohmann::json::array()) {
    const bool ok =
        item.is_object() && item.size() == 2 && item["id"].is_string() &&
        item["state"].is_string() &&
        states.emplace(item["id"].get<std::string>(), item["state"].get<std::string>()).second;
    EXPECT_TRUE(ok) << item.dump();
  }
  return states;
}

// What the store tells its delegate, with the thread it told it on.
class RecordingDelegate : public ShareStatesServiceDelegate {
 public:
  void screenCaptureStateChanged(const ScreenCapture& c, ShareState state) override {
    record(c, std::string(rawValue(state)));
  }
  void screenCaptureProgressChanged(const ScreenCapture& c, std::int64_t size, double p) override {
    record(c, "progress " + std::to_string(size) + " " + std::to_string(p));
  }
  std::vector<std::tuple<std::string, std::string, std::thread::id>> calls() const {
    std::lock_guard lock(mu_);
    return calls_;
  }

 private:
  void record(const ScreenCapture& c, std::string what) {
    std::lock_guard lock(mu_);
    calls_.emplace_back(c.fileURL().filePath().filename(), what, std::this_thread::get_id());
  }
  mutable std::mutex mu_;
  std::vector<std::tuple<std::string, std::string, std::thread::id>> calls_;  // guarded by mu_
};

class ShareStatesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(internal());
    registerStatesHost(/*debug=*/true, alerts_);
  }
  void TearDown() override {
    // A save still running may hold the last reference to its store, whose destructor saves.
    for (const DispatchQueue& queue : queues_) queue.sync([] {});
    MainQueue::drain();
    Resolver::reset();
  }

  std::shared_ptr<ShareStatesManager> makeStore() {
    auto store = std::make_shared<ShareStatesManager>();
    queues_.push_back(store->statesQueue());
    return store;
  }
  // A new store, and what it wrote on standard output while it loaded.
  std::pair<std::shared_ptr<ShareStatesManager>, std::string> load() {
    testing::internal::CaptureStdout();
    auto store = makeStore();
    return {store, testing::internal::GetCapturedStdout()};
  }

  fs::path internal() const { return home_ / "data/lumo"; }
  fs::path file() const { return internal() / "share_states.json"; }
  Screenshot shot(const std::string& name) const {
    return Screenshot(Url::fileURL(home_ / "Documents" / name));
  }
  StateMap saved() const { return parseStates(readFile(file())); }

  TempDir home_;
  ScopedEnv data_{"XDG_DATA_HOME", (home_ / "data").native()};
  std::shared_ptr<RecordingAlerts> alerts_ = std::make_shared<RecordingAlerts>();
  std::vector<DispatchQueue> queues_;
};

TEST_F(ShareStatesTest, EveryReportIsSavedAndAllButAnUploadSurvivesARestart) {
  auto store = makeStore();
  EXPECT_EQ(readFile(file()), "[]");
  EXPECT_EQ(store->getState(shot("a")), S::unknown);
  struct Case {
    std::function<void(ShareStatesManager&, const Screenshot&)> report;
    const char* saved;
    ShareState afterRestart;
  };
  const std::map<std::string, Case> cases{
      {"a",
       {[](auto& s, auto& c) { s.screencapturePreparingForUploading(c); }, "preparingForUploading",
        S::preparingForUploading}},
      {"b", {[](auto& s, auto& c) { s.screencaptureStartedUploading(c); }, "uploading", S::error}},
      {"c", {[](auto& s, auto& c) { s.screencaptureUploadComplete(c); }, "uploaded", S::uploaded}},
      {"d",
       {[](auto& s, auto& c) { s.screencaptureUploadError(c, ShareServiceError::failedUpload); },
        "error", S::error}},
      {"e",
       {[](auto& s, auto& c) { s.screencaptureUploadCancelled(c); }, "cancelled", S::cancelled}},
      {"f",
       {[](auto& s, auto& c) { s.screencaptureDeleteS3Completed(c); }, "notUploaded",
        S::notUploaded}},
      {"g",
       {[](auto& s, auto& c) { s.screenCaptureRemoteStateUpdated(c, true); }, "uploaded",
        S::uploaded}},
      {"h",
       {[](auto& s, auto& c) { s.screenCaptureRemoteStateUpdated(c, false); }, "notUploaded",
        S::notUploaded}},
  };
  StateMap expected;
  for (const auto& [name, c] : cases) {
    c.report(*store, shot(name));
    expected["/" + name] = c.saved;
  }
  // Progress lasts from the upload until any other state and is never saved.
  store->screencaptureProgressUpdated(shot("b"), 1000, 0.4);
  store->screencaptureStartedUploading(shot("b"));
  EXPECT_EQ(store->getProgress(shot("b")), (ProgressModel{1000, 0.4}));
  store->screencaptureProgressUpdated(shot("c"), 1000, 1.0);  // after its final state: dropped
  EXPECT_EQ(store->getProgress(shot("c")), std::nullopt);
  // Captures are known by their path below "Documents".
  store->screencaptureUploadCancelled(Screenshot(Url::fileURL("/x/Documents/i")));
  EXPECT_EQ(store->getState(Screenshot(Url::fileURL("/y/Documents/i"))), S::cancelled);
  expected["/i"] = "cancelled";
  store->waitUntilSaved();
  EXPECT_EQ(saved(), expected);
  // Other users' tools read the file.
  EXPECT_EQ(fs::status(file()).permissions() & fs::perms::all, fs::perms(0644));
  const std::string onDisk = readFile(file());

  store.reset();
  std::string output;
  std::tie(store, output) = load();
  EXPECT_EQ(output, "");  // an upload that was cut short is no error of the file
  for (const auto& [name, c] : cases)
    EXPECT_EQ(store->getState(shot(name)), c.afterRestart) << name;
  EXPECT_EQ(store->getProgress(shot("b")), std::nullopt);
  EXPECT_EQ(readFile(file()), onDisk);  // loading does not rewrite the file; the next save does
  store->screencaptureUploadComplete(shot("j"));
  store->waitUntilSaved();
  EXPECT_EQ(saved()["/b"], "error");
}

TEST_F(ShareStatesTest, TheDelegateHearsOnTheReportingThreadAndErrorsAlertOnTheMainQueue) {
  auto store = makeStore();
  auto delegate = std::make_shared<RecordingDelegate>();
  store->setDelegate(delegate);
  std::thread::id reporter;
  std::thread([&] {
    reporter = std::this_thread::get_id();
    store->screencaptureStartedUploading(shot("a"));
    store->screencaptureProgressUpdated(shot("a"), 1000, 0.5);
    store->screencaptureUploadError(shot("a"), ShareServiceError::dailyItemsCountExceeded);
    store->screenCaptureRemoteStateUpdated(shot("a"), true);
  }).join();
  std::vector<std::string> heard;
  for (const auto& [name, what, thread] : delegate->calls()) {
    heard.push_back(what);
    EXPECT_TRUE(name == "a" && thread == reporter);
  }
  EXPECT_EQ(heard,
            (std::vector<std::string>{"uploading", "progress 1000 0.500000", "error", "uploaded"}));
  std::weak_ptr<RecordingDelegate> weak = delegate;
  delegate.reset();
  EXPECT_TRUE(weak.expired());
  EXPECT_EQ(store->delegate(), nullptr);

  EXPECT_TRUE(alerts_->messages().empty());
  EXPECT_TRUE(MainQueue::runUntil([&] { return !alerts_->messages().empty(); }, 30s));
  EXPECT_EQ(alerts_->messages(), std::vector<std::string>{"Daily Items Count Exceeded"});
  // An alert still waiting when the store goes away is not shown.
  store->screencaptureUploadError(shot("b"), ShareServiceError::failedUpload);
  store->waitUntilSaved();
  store.reset();
  MainQueue::drain();
  EXPECT_EQ(alerts_->messages().size(), 1u);
}

TEST_F(ShareStatesTest, AnInvalidFileIsLoggedAndReplacedAsAWhole) {
  const std::string deep = std::string(200000, '[') + std::string(200000, ']');
  const std::pair<std::string, const char*> cases[] = {
      {R"([{"id":"/a","state":"deleted"}])", kFormat},
      {"", kFormat},
      {R"([{"id":"/a"}])", kMissing},
      {R"([{"id":"/a","state":"uploaded"},{"id":"/b","state":1}])", kFormat},
      {R"([{"id":"/a","sta)", kFormat},
      {deep, kFormat},  // the parser once ran out of stack
  };
  for (const auto& [text, line] : cases) {
    SCOPED_TRACE(text.substr(0, 60));
    writeFile(file(), text);
    auto [store, output] = load();
    EXPECT_EQ(output, std::string(line) + kIncorrect);
    EXPECT_EQ(readFile(file()), "[]");
    EXPECT_EQ(store->getState(shot("a")), S::unknown);
  }
  // Tolerated: unknown members, a repeated id (the first wins), a repeated member (the last).
  writeFile(file(), R"( [ {"state":"uploaded","id":"/a","x":{"k":[1,null]}},
    {"id":"/a","state":"error"}, {"id":"/b","state":"notUploaded","id":"/c"} ] )");
  auto [store, output] = load();
  EXPECT_EQ(output, "");
  EXPECT_EQ(store->getState(shot("a")), S::uploaded);
  EXPECT_EQ(store->getState(shot("b")), S::unknown);
  EXPECT_EQ(store->getState(shot("c")), S::notUploaded);
}

TEST_F(ShareStatesTest, UnreadableFilesAreKeptFifosAndFoldersReplacedUnread) {
  const std::string prefix = "\u2764\uFE0F Cannot read the states file \"" + file().string() + "\"";
  fs::create_symlink("/proc/self/mem", file());  // reading at 0 fails with EIO
  auto [unread, output] = load();
  EXPECT_TRUE(output.starts_with(prefix + ": Input/output error")) << output;
  unread->screencaptureUploadComplete(shot("a"));
  unread->waitUntilSaved();
  EXPECT_TRUE(fs::is_symlink(file()));  // it may hold every state: no save writes over it
  fs::remove(file());
  writeFile(file(), R"([{"id":"/a","state":"error"},{"id":"/b","state":"uploaded"}])");
  unread->loadFromStorage();  // what was recorded meanwhile wins over the file
  EXPECT_EQ(saved(), (StateMap{{"/a", "uploaded"}, {"/b", "uploaded"}}));

  fs::remove(file());
  ASSERT_EQ(::mkfifo(file().c_str(), 0644), 0);  // nobody writes to it: a read would block
  std::tie(unread, output) = load();
  EXPECT_TRUE(output.starts_with(prefix + " (not a regular file)")) << output;
  EXPECT_EQ(readFile(file()), "[]");
  fs::remove(file());
  fs::create_directories(file() / "inner");
  std::tie(unread, output) = load();
  EXPECT_TRUE(output.ends_with(kIncorrect)) << output;
  EXPECT_EQ(readFile(file()), "[]");
}

TEST_F(ShareStatesTest, AnInvalidFileThatCannotBeDeletedStaysUntilASaveCanReplaceIt) {
  const std::string text = R"([{"id":"/a","state":"deleted"}])";
  writeFile(file(), text);
  // Root ignores folder permissions: the file is made immutable instead.
  auto lock = [&](bool on) {
    if (::geteuid() != 0) {
      fs::permissions(internal(), on ? fs::perms(0500) : fs::perms::owner_all);
      return true;
    }
    return std::system(((on ? "chattr +i " : "chattr -i ") + shellQuote(file())).c_str()) == 0;
  };
  ASSERT_TRUE(lock(true)) << "chattr needs CAP_LINUX_IMMUTABLE when running as root";
  auto [store, output] = load();
  EXPECT_EQ(output, std::string(kFormat) + kIncorrect + "Can't delete invalid states file\n");
  testing::internal::CaptureStdout();
  store->screencaptureUploadComplete(shot("b"));
  store->waitUntilSaved();
  output = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(output.starts_with(kCannotWrite)) << output;
  EXPECT_EQ(readFile(file()), text);
  ASSERT_TRUE(lock(false));
  store->screencaptureUploadComplete(shot("c"));
  store->waitUntilSaved();
  EXPECT_EQ(saved(), (StateMap{{"/b", "uploaded"}, {"/c", "uploaded"}}));
}

// A host that cannot tell where its internal folder is.
class NoInternalFolder : public DirectoriesManager {
 public:
  Result<Url> lumoInternalDirectory() override { return Error(FileError{ENOENT, {}, "No folder"}); }
};

TEST_F(ShareStatesTest, WithoutTheInternalFolderSavesAreLoggedAndTriedAgain) {
  fs::remove_all(internal());
  auto [store, output] = load();
  EXPECT_TRUE(output.starts_with(kCannotWrite)) << output;
  EXPECT_FALSE(fs::exists(internal()));  // the host creates it, not the store
  fs::create_directories(internal());
  store->screencaptureUploadComplete(shot("a"));
  store->waitUntilSaved();
  EXPECT_EQ(saved(), (StateMap{{"/a", "uploaded"}}));

  // Without a known folder the store keeps the states in memory only.
  registerStatesHost(/*debug=*/true, alerts_);
  Resolver::registerInMain<DirectoriesService>([] { return std::make_shared<NoInternalFolder>(); });
  fs::remove(file());
  std::tie(store, output) = load();
  EXPECT_EQ(output, "\u2764\uFE0F No folder, [:]\n");
  store->screencaptureUploadComplete(shot("b"));
  store->waitUntilSaved();
  EXPECT_EQ(store->getState(shot("b")), S::uploaded);
  EXPECT_TRUE(fs::is_empty(internal()));
}

TEST_F(ShareStatesTest, LatestStatesReachTheDiskAndUnsavedOnesAreWrittenWhenTheStoreGoes) {
  auto store = makeStore();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 1000; ++i) {
        Screenshot s = shot(std::to_string((t * 7 + i) % 50));
        if ((i + t) % 3 == 0) store->screencaptureStartedUploading(s);
        if ((i + t) % 3 == 1) store->screencaptureUploadComplete(s);
        if ((i + t) % 3 == 2) store->screenCaptureRemoteStateUpdated(s, false);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  store->waitUntilSaved();
  StateMap expected;
  for (int j = 0; j < 50; ++j) {
    expected["/" + std::to_string(j)] = rawValue(store->getState(shot(std::to_string(j))));
  }
  EXPECT_EQ(saved(), expected);

  // A save held up behind other work still finds the store gone: its destructor saved.
  std::promise<void> release;
  store->statesQueue().async([held = release.get_future().share()] { held.wait(); });
  store->screencaptureUploadCancelled(shot("0"));
  store.reset();
  EXPECT_EQ(saved()["/0"], "cancelled");
  release.set_value();
}

TEST_F(ShareStatesTest, TemporaryFilesOfAKilledSaveAreRemovedAtLoadUnlessLocked) {
  for (const char* name : {".share_states.json-a1B2c3", ".share_states.json-keep", "notes.txt",
                           ".share_states.json-InUse1"}) {
    writeFile(internal() / name, "[");
  }
  const int inUse = ::open((internal() / ".share_states.json-InUse1").c_str(), O_RDONLY);
  ASSERT_EQ(::flock(inUse, LOCK_EX), 0);  // a save in progress, here or in another process
  makeStore();
  ::close(inUse);
  EXPECT_FALSE(fs::exists(internal() / ".share_states.json-a1B2c3"));
  for (const char* name : {".share_states.json-keep", "notes.txt", ".share_states.json-InUse1"}) {
    EXPECT_TRUE(fs::exists(internal() / name)) << name;
  }
}

// share_states_writer, killed at a random moment: the file it leaves is always whole, and one of
// the sets of states it held. Generation g gives /c0 ... /c<n-1> kCycle[g % 5] in that order.
TEST_F(ShareStatesTest, AWriterKilledAtRandomMomentsNeverLeavesAHalfWrittenFile) {
  static const char* const kCycle[5] = {"preparingForUploading", "error", "uploaded", "cancelled",
                                        "notUploaded"};
  constexpr int kCaptures = 40;
  auto held = [&](const StateMap& file, const StateMap& loaded) {
    for (int g = 0; g <= 5; ++g) {  // a prefix of generation g + 1 over g (0: the loaded file)
      for (int m = 0; m <= kCaptures; ++m) {
        StateMap expected = loaded;
        for (int j = 0; j < kCaptures; ++j) {
          if (j < m || g > 0) expected["/c" + std::to_string(j)] = kCycle[(j < m ? g + 1 : g) % 5];
        }
        if (expected == file) return true;
      }
    }
    return false;
  };
  auto leftovers = [&] {
    int n = 0;
    for (const auto& entry : fs::directory_iterator(internal())) {
      n += entry.path().filename().string().starts_with(".share_states.json-");
    }
    return n;
  };
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  StateMap loaded;
  int killedMidSave = 0;
  for (int round = 0; round < 40; ++round) {
    int out[2];
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    std::string path = LUMO_SHARE_STATES_WRITER, count = std::to_string(kCaptures);
    char* argv[] = {path.data(), count.data(), nullptr};
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    pollfd ready{out[0], POLLIN, 0};
    char line[6] = {};
    const bool started = ::poll(&ready, 1, 30000) == 1 && ::read(out[0], line, 6) == 6;
    ::close(out[0]);
    // Wide enough for a writer slowed down by a sanitizer to be caught mid-save too.
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 50000));
    int status = 0;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(started && WIFSIGNALED(status)) << "the writer did not start";

    const std::string text = readFile(file());
    const StateMap states = parseStates(text);
    ASSERT_TRUE(!HasFailure() && held(states, loaded)) << "round " << round << ": " << text;
    ASSERT_LE(leftovers(), 1);  // earlier ones are removed by the next load
    killedMidSave += leftovers();
    loaded = states;
  }
  EXPECT_GT(killedMidSave, 0) << "no kill hit a save in progress";
  auto store = makeStore();
  EXPECT_EQ(leftovers(), 0);
  for (const auto& [id, state] : loaded)
    EXPECT_EQ(rawValue(store->getState(shot(id.substr(1)))), state);
}

}  // namespace
}  // namespace lumo
