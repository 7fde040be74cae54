#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/poll.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <future>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <thread>

#include "../capture/TestFiles.h"
#include "ShareTestHost.h"
#include "lumo/capture/Screenshot.h"
#include "lumo/sharing/ShareServiceError.h"

namespace lumo::sharetest {
namespace {

using namespace testing_files;
using namespace std::chrono_literals;
using StateMap = std::map<std::string, std::string>;
using S = ShareState;
using nlohmann::json;

const std::string kIncorrect = "States file is incorrect. Trying delete it and save a new one...\n";
const std::string kFormat =
    "\u2764\uFE0F The data couldn't be read because it isn't in the correct format., [:]\n";
const std::string kCannotWrite = "\u2764\uFE0F Cannot write the states file";

// The states of a states file; a failure unless it is an array of {"id", "state"} objects
// with distinct ids.
StateMap parseStates(const std::string& text) {
  StateMap states;
  const auto doc = json::parse(text, nullptr, false);
  EXPECT_TRUE(doc.is_array()) << text.substr(0, 200);
  for (const auto& item : doc.is_array() ? doc : json::array()) {
    EXPECT_TRUE(
        item.is_object() && item.size() == 2 && item["id"].is_string() &&
        item["state"].is_string() &&
        states.emplace(item["id"].get<std::string>(), item["state"].get<std::string>()).second)
        << item.dump();
  }
  return states;
}

class ShareStatesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::remove_all(internal());
    fs::create_directories(internal());
    host_ = installHost();
  }
  void TearDown() override {
    // A save still running may hold the last reference to its store, whose destructor saves.
    for (const DispatchQueue& queue : queues_) queue.sync([] {});
    MainQueue::drain();
    Resolver::reset();
  }
  // A new store, and what it wrote on standard output while it loaded.
  std::pair<std::shared_ptr<ShareStatesManager>, std::string> load() {
    testing::internal::CaptureStdout();
    auto store = std::make_shared<ShareStatesManager>();
    queues_.push_back(store->statesQueue());
    return {store, testing::internal::GetCapturedStdout()};
  }
  fs::path internal() const { return prepareProcess() / "data/lumo"; }
  fs::path file() const { return internal() / "share_states.json"; }
  Screenshot shot(const std::string& name) const {
    return Screenshot(Url::fileURL("/Documents/" + name));
  }
  StateMap saved() const { return parseStates(readFile(file())); }

  Host host_;
  std::vector<DispatchQueue> queues_;
};

TEST_F(ShareStatesTest, EveryReportIsSavedAndAllButAnUploadSurvivesARestart) {
  auto [store, output] = load();
  EXPECT_EQ(readFile(file()), "[]");
  store->screencapturePreparingForUploading(shot("a"));
  store->screencaptureStartedUploading(shot("b"));
  store->screencaptureUploadComplete(shot("c"));
  store->screencaptureUploadError(shot("d"), ShareServiceError::failedUpload);
  store->screencaptureUploadCancelled(Screenshot(Url::fileURL("/x/Documents/e")));
  store->screencaptureDeleteS3Completed(shot("f"));
  store->screenCaptureRemoteStateUpdated(shot("g"), true);
  store->screenCaptureRemoteStateUpdated(shot("h"), false);
  // Progress lasts from the upload until any other state and is never saved.
  store->screencaptureProgressUpdated(shot("b"), 1000, 0.4);
  store->screencaptureStartedUploading(shot("b"));
  EXPECT_EQ(store->getProgress(shot("b")), (ProgressModel{1000, 0.4}));
  store->screencaptureProgressUpdated(shot("c"), 1000, 1.0);
  EXPECT_EQ(store->getProgress(shot("c")), std::nullopt);
  const std::tuple<std::string, std::string, ShareState> expected[] = {
      {"a", "preparingForUploading", S::preparingForUploading},
      {"b", "uploading", S::error},  // an upload does not survive a restart
      {"c", "uploaded", S::uploaded},
      {"d", "error", S::error},
      {"e", "cancelled", S::cancelled},  // captures are known by their path below Documents
      {"f", "notUploaded", S::notUploaded},
      {"g", "uploaded", S::uploaded},
      {"h", "notUploaded", S::notUploaded},
  };
  store->waitUntilSaved();
  StateMap savedStates;
  for (const auto& [name, raw, restarted] : expected) savedStates["/" + name] = raw;
  EXPECT_EQ(saved(), savedStates);
  EXPECT_EQ(fs::status(file()).permissions(), fs::perms(0644));  // other tools of the user read it
  const std::string onDisk = readFile(file());

  store.reset();
  std::tie(store, output) = load();
  EXPECT_EQ(output, "");  // an upload cut short is no error of the file
  for (const auto& [name, raw, restarted] : expected)
    EXPECT_EQ(store->getState(shot(name)), restarted) << name;
  EXPECT_EQ(store->getProgress(shot("b")), std::nullopt);
  EXPECT_EQ(readFile(file()), onDisk);  // loading does not rewrite the file; the next save does
  store->screencaptureUploadComplete(shot("i"));
  store->waitUntilSaved();
  EXPECT_EQ(saved()["/b"], "error");
}

TEST_F(ShareStatesTest, TheDelegateHearsAtOnceAndErrorsAlertOnTheMainQueue) {
  auto [store, output] = load();
  auto observer = std::make_shared<StatesObserver>();
  store->setDelegate(observer);
  std::thread([&] {
    store->screencaptureStartedUploading(shot("a"));
    store->screencaptureProgressUpdated(shot("a"), 1000, 0.5);
    store->screencaptureUploadError(shot("a"), ShareServiceError::dailyItemsCountExceeded);
    EXPECT_EQ(observer->states("/a"), (std::vector{S::uploading, S::error}));
    EXPECT_EQ(observer->progressCount("/a"), 1u);
  }).join();
  std::weak_ptr<StatesObserver> weak = observer;
  observer.reset();
  EXPECT_TRUE(weak.expired());

  EXPECT_TRUE(host_.alerts->messages().empty());
  EXPECT_TRUE(MainQueue::runUntil([&] { return !host_.alerts->messages().empty(); }, 30s));
  EXPECT_EQ(host_.alerts->messages(), std::vector<std::string>{"Daily Items Count Exceeded"});
  store->screencaptureUploadError(shot("b"), ShareServiceError::failedUpload);
  store->waitUntilSaved();
  store.reset();  // an alert still waiting when the store goes is not shown
  MainQueue::drain();
  EXPECT_EQ(host_.alerts->messages().size(), 1u);
}

TEST_F(ShareStatesTest, AnInvalidFileIsLoggedAndReplacedAsAWhole) {
  const std::pair<std::string, std::string> cases[] = {
      {R"([{"id":"/a","state":"deleted"}])", kFormat},
      {R"([{"id":"/a"}])", "\u2764\uFE0F The data couldn't be read because it is missing., [:]\n"},
      {R"([{"id":"/a","state":"uploaded"},{"id":"/b","state":1}])", kFormat},
      {std::string(200000, '[') + std::string(200000, ']'), kFormat},  // once ran out of stack
  };
  for (const auto& [text, line] : cases) {
    writeFile(file(), text);
    auto [store, output] = load();
    EXPECT_EQ(output, line + kIncorrect) << text.substr(0, 50);
    EXPECT_EQ(readFile(file()), "[]");
    EXPECT_EQ(store->getState(shot("a")), S::unknown);
  }
  // Tolerated: other members, an id written again (the first wins), a member written again (the
  // last wins).
  writeFile(file(),
            R"([{"state":"uploaded","id":"/a","x":{"k":[1,null]}},{"id":"/a","state":"error"},
    {"id":"/b","state":"notUploaded","id":"/c"}])");
  auto [store, output] = load();
  EXPECT_EQ(output, "");
  EXPECT_EQ(store->getState(shot("a")), S::uploaded);
  EXPECT_EQ(store->getState(shot("b")), S::unknown);
  EXPECT_EQ(store->getState(shot("c")), S::notUploaded);
}

TEST_F(ShareStatesTest, AFileThatCannotBeReadIsNeverOverwrittenUntilALoadSucceeds) {
  const std::string prefix = "\u2764\uFE0F Cannot read the states file \"" + file().string() + "\"";
  fs::remove(file());
  fs::create_symlink("/proc/self/mem", file());  // reading at 0 fails with EIO
  auto [unread, output] = load();
  EXPECT_TRUE(output.starts_with(prefix + ": Input/output error")) << output;
  unread->screencaptureUploadComplete(shot("a"));
  unread->waitUntilSaved();
  EXPECT_TRUE(fs::is_symlink(file()));
  fs::remove(file());
  writeFile(file(), R"([{"id":"/a","state":"error"},{"id":"/b","state":"uploaded"}])");
  unread->loadFromStorage();  // what was recorded meanwhile wins over the file
  EXPECT_EQ(saved(), (StateMap{{"/a", "uploaded"}, {"/b", "uploaded"}}));
}

TEST_F(ShareStatesTest, WithoutTheInternalFolderSavesAreLoggedAndTriedAgain) {
  fs::remove_all(internal());
  auto [store, output] = load();
  EXPECT_TRUE(output.starts_with(kCannotWrite)) << output;
  EXPECT_FALSE(fs::exists(internal()));  // the host creates it, not the store
  fs::create_directories(internal());
  store->screencaptureUploadComplete(shot("a"));
  store->waitUntilSaved();
  EXPECT_EQ(saved(), (StateMap{{"/a", "uploaded"}}));
}

TEST_F(ShareStatesTest, TheLatestStatesReachTheDiskAndUnsavedOnesAreWrittenWhenTheStoreGoes) {
  auto store = load().first;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 1000; ++i) {
        Screenshot s = shot(std::to_string((t * 7 + i) % 50));
        (i + t) % 2 ? store->screencaptureStartedUploading(s)
                    : store->screencaptureUploadComplete(s);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  store->waitUntilSaved();
  StateMap expected;
  for (int j = 0; j < 50; ++j)
    expected["/" + std::to_string(j)] = rawValue(store->getState(shot(std::to_string(j))));
  EXPECT_EQ(saved(), expected);

  std::promise<void> release;  // the next save waits behind this
  store->statesQueue().async([held = release.get_future().share()] { held.wait(); });
  store->screencaptureUploadCancelled(shot("0"));
  store.reset();
  EXPECT_EQ(saved()["/0"], "cancelled");
  release.set_value();
}

TEST_F(ShareStatesTest, TemporaryFilesOfAKilledSaveAreRemovedAtLoadUnlessLocked) {
  for (const char* name :
       {".share_states.json-a1B2c3", ".share_states.json-keep", ".share_states.json-InUse1"}) {
    writeFile(internal() / name, "[");
  }
  const int inUse = ::open((internal() / ".share_states.json-InUse1").c_str(), O_RDONLY);
  ASSERT_EQ(::flock(inUse, LOCK_EX), 0);  // a save in progress, here or in another process
  load();
  ::close(inUse);
  EXPECT_FALSE(fs::exists(internal() / ".share_states.json-a1B2c3"));
  EXPECT_TRUE(fs::exists(internal() / ".share_states.json-keep"));
  EXPECT_TRUE(fs::exists(internal() / ".share_states.json-InUse1"));
}

// share_states_writer, killed at a random moment, always leaves a whole file holding one of the
// sets of states it held: a prefix of /c0 ... /c39 at step g + 1, the rest at step g.
TEST_F(ShareStatesTest, AWriterKilledAtRandomMomentsNeverLeavesAHalfWrittenFile) {
  const char* const steps[5] = {"preparingForUploading", "error", "uploaded", "cancelled",
                                "notUploaded"};
  auto held = [&](const StateMap& file, const StateMap& loaded) {
    for (int g = 0; g <= 5; ++g) {  // 0: the file it loaded, before its first step
      for (int m = 0; m <= 40; ++m) {
        StateMap expected = loaded;
        for (int j = 0; j < 40; ++j) {
          if (j < m || g > 0) expected["/c" + std::to_string(j)] = steps[(j < m ? g + 1 : g) % 5];
        }
        if (expected == file) return true;
      }
    }
    return false;
  };
  auto leftovers = [&] {
    return std::ranges::count_if(fs::directory_iterator(internal()), [](const auto& entry) {
      return entry.path().filename().string().starts_with(".share_states.json-");
    });
  };
  const unsigned seed = std::random_device{}();
  std::mt19937 random(seed);
  StateMap loaded;
  int killedMidSave = 0;
  for (int round = 0; round < 40; ++round) {
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::dup2(out[1], STDOUT_FILENO);
      ::execl(LUMO_SHARE_STATES_WRITER, LUMO_SHARE_STATES_WRITER, "40", nullptr);
      ::_exit(127);
    }
    ::close(out[1]);
    pollfd ready{out[0], POLLIN, 0};
    char line[6];
    const bool started = ::poll(&ready, 1, 30000) == 1 && ::read(out[0], line, 6) == 6;
    ::close(out[0]);
    // Long enough for a writer slowed down by a sanitizer to be caught mid-save too.
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 50000));
    int status = 0;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(started && WIFSIGNALED(status)) << "the writer did not start";

    const std::string text = readFile(file());
    const StateMap states = parseStates(text);
    ASSERT_TRUE(!HasFailure() && held(states, loaded)) << "seed " << seed << ": " << text;
    ASSERT_LE(leftovers(), 1);  // earlier ones are removed by the next load
    killedMidSave += leftovers();
    loaded = states;
  }
  EXPECT_GT(killedMidSave, 0) << "no kill hit a save in progress";
  auto [store, output] = load();
  EXPECT_EQ(leftovers(), 0);
  for (const auto& [id, state] : loaded)
    EXPECT_EQ(rawValue(store->getState(shot(id.substr(1)))), state);
}

}  // namespace
}  // namespace lumo::sharetest
