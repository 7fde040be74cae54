// The share service without a server: its bookkeeping, driven through its task delegate with
// tasks that are never started (a queued upload fails for want of a token), what happens before
// an upload, its upload queue, and its states store.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/poll.h>
#include <sys/wait.h>
#include <unicode/timezone.h>

#include <future>
#include <thread>

#include "ShareTestHost.h"
#include "lumo/account/Content.h"
#include "lumo/api/APIError.h"
#include "lumo/capture/HashGenerator.h"
#include "lumo/sharing/ShareServiceError.h"
#include "lumo/tasks/DeleteMultipleFilesTask.h"
#include "lumo/tasks/UploadSingleCaptureTask.h"

namespace lumo::sharetest {
namespace {

using namespace std::chrono_literals;
using S = ShareState;
using N = UserNotificationKind;
using Strings = std::vector<std::string>;
using StateMap = std::map<std::string, std::string>;
using namespace testing_files;

std::string path(const ScreenCapture& capture) {
  return relativeScreenCapturePath(capture.fileURL());
}

// A task for `capture` that would upload `size` bytes.
std::shared_ptr<UploadTask> task(const ScreenCapture& capture, std::int64_t size) {
  return std::make_shared<UploadSingleCaptureTask>(
      capture, UploadTaskComponents(capture.fileURL(), *Url::parse("https://cdn.example/x.png"),
                                    "image/png", size));
}

const std::string kIncorrect = "States file is incorrect. Trying delete it and save a new one...\n";
const std::string kFormat =
    "\u2764\uFE0F The data couldn't be read because it isn't in the correct format., [:]\n";

// The states of a states file; a failure unless it is an array of {"id", "state"} objects
// with distinct ids.
StateMap parseStates(const std::string& text) {
  StateMap states;
  const auto doc = json::parse(text, nullptr, false);
  EXPECT_TRUE(doc.is_array()) << text.substr(0, 200);
  for (const auto& item : doc.is_array() ? doc : json::array()) {
    EXPECT_TRUE(item.size() == 2 && states.emplace(item.at("id"), item.at("state")).second)
        << item.dump();
  }
  return states;
}

class ShareServiceTest : public ::testing::Test {
 protected:
  void TearDown() override {
    // A save still running may hold the last reference to its store, whose destructor saves.
    for (const DispatchQueue& queue : queues_) queue.sync([] {});
    if (host_.manager) settle(host_, 30s);
    if (host_.states) host_.states->waitUntilSaved();  // also when a test let the service go
    Content::Limits::resetToDefaults();
    APISettings::setServiceAddresses(addresses_);
  }
  void SetUp() override {
    Content::Limits::resetToDefaults();
    std::error_code ec;  // the last host's store may still be saving
    fs::remove_all(internal(), ec);
    fs::create_directories(internal());
    host_ = installHost({.clipboard = &clipboard_});
    clipboard_.setText("sentinel");
    // The account's counts live in the defaults and outlast a host.
    account()->setRemainingDailyItemsCount(Content::Limits::kDefaultMaxDailyFilesCount);
    account()->setRemainingDailyQuotaInBytes(Content::Limits::kDefaultMaxDailyFilesQuota);
  }
  std::shared_ptr<UserAccountStore> account() const {
    return std::dynamic_pointer_cast<UserAccountStore>(
        Resolver::resolveFromRoot<UserAccountStoreService>());
  }
  Url file(const std::string& name, std::size_t size = 64) {
    writeBytes(docs_ / name, randomBytes(size));
    return Url::fileURL(docs_ / name);
  }
  // No link copied, no notice, no upload: only the states store shows an error.
  void expectNothingShared() {
    EXPECT_EQ(clipboard_.memoryText(), "sentinel");
    EXPECT_TRUE(host_.notifications->notifications().empty());
    EXPECT_TRUE(host_.queue->counts().empty());
  }
  ShareManager& manager() { return *host_.manager; }
  // A new states store, and what it wrote on standard output while it loaded.
  std::pair<std::shared_ptr<ShareStatesManager>, std::string> load() {
    testing::internal::CaptureStdout();
    auto store = std::make_shared<ShareStatesManager>();
    queues_.push_back(store->statesQueue());
    return {store, testing::internal::GetCapturedStdout()};
  }
  fs::path internal() const { return prepareProcess() / "data/lumo"; }
  fs::path statesFile() const { return internal() / "share_states.json"; }
  Screenshot shot(const std::string& n) const {
    return Screenshot(Url::fileURL("/Documents/" + n));
  }
  StateMap saved() const { return parseStates(readFile(statesFile())); }

  fs::path docs_ = makeDocumentsFolder();  // prepares the process first
  const ServiceAddresses addresses_ = APISettings::serviceAddresses();
  Clipboard clipboard_{Clipboard::Environment{}};  // memory only, never the desktop's
  Host host_;
  std::vector<DispatchQueue> queues_;
};

TEST_F(ShareServiceTest, ProgressWeighsUploadsBySizeAndEndsAreReportedOnce) {
  Screenshot a(file("a.png")), b(file("b.png")), c(file("c.png"));
  auto ta = task(a, 100), tb = task(b, 300), tc = task(c, 200);
  manager().taskUploadStarted(ta);
  manager().taskUploadStarted(tb);
  manager().taskProgressUpdated(tb, 0.5);
  EXPECT_EQ(host_.progress->values().back(), 0.375);
  EXPECT_EQ(host_.states->getProgress(b), (ProgressModel{300, 0.5}));  // the task's own
  manager().taskUploadComplete(ta, 100, 1);
  EXPECT_EQ(manager().completedProgress(), 0.25);
  const auto published = host_.progress->values().size();
  manager().taskProgressUpdated(ta, 0.7);  // after its end: dropped
  EXPECT_EQ(host_.progress->values().size(), published);

  // A start, an error or a cancel counts again from the uploads in flight.
  manager().taskUploadStarted(tc);
  manager().taskProgressUpdated(tc, 0.5);
  EXPECT_DOUBLE_EQ(host_.progress->values().back(), 0.5);
  const Error refusal = APIError::errors(ModelErrorResponse{{"No uploads left", "Sorry"}});
  manager().taskUploadError(tb, 300, refusal, 5);
  EXPECT_EQ(manager().totalFileSize(), 200);
  manager().taskCancelled(tc);
  EXPECT_EQ(manager().totalFileSize(), 0);
  EXPECT_TRUE(manager().currentTasks().empty());
  EXPECT_EQ(std::vector(
                {host_.states->getState(a), host_.states->getState(b), host_.states->getState(c)}),
            std::vector({S::uploaded, S::error, S::cancelled}));

  // The user hears of each end on the main queue, of a refusal in the service's words.
  EXPECT_TRUE(host_.notifications->notifications().empty() && host_.alerts->messages().empty());
  MainQueue::drain();
  EXPECT_EQ(host_.alerts->messages(),
            (Strings{"No uploads left\nSorry", refusal.localizedDescription()}));
  std::vector<std::tuple<N, std::string, bool>> notices;
  for (const auto& n : host_.notifications->notifications())
    notices.emplace_back(n.kind, n.path, n.onMainThread);
  EXPECT_EQ(notices, (decltype(notices){{N::uploadCompleted(), "/a.png", true},
                                        {N::uploadFailed("screenshot"), "/b.png", true}}));

  // A cancel finds the upload by its path below Documents.
  Screenshot d(file("d.png"));
  EXPECT_FALSE(manager().cancelScreenCaptureTask(d));
  auto upload = task(d, 64);
  upload->setDelegate(host_.manager);
  manager().taskUploadStarted(upload);
  const fs::path elsewhere = makeDocumentsFolder() / "d.png";
  writeBytes(elsewhere, randomBytes(8));
  EXPECT_TRUE(manager().cancelScreenCaptureTask(Screenshot(Url::fileURL(elsewhere))));
  EXPECT_TRUE(upload->isFinished());  // nothing was sent: it ends on this thread
  EXPECT_EQ(host_.states->getState(d), S::cancelled);
}

TEST_F(ShareServiceTest, QuotasInOrderAFileAsLargeAsALimitPassesAndNoLinkNoShare) {
  const std::tuple<std::int64_t, std::uint64_t, std::uint64_t, const char*> cases[] = {
      {0, 1u << 30, 1u << 30, "Daily Items Count Exceeded"},  // before any byte limit
      {5, 10, 10, "File Upload Quota Exceeded"},              // the size before the day's bytes
      {5, 10, 11, "Daily Upload Quota Exceeded"},
      {5, 1u << 30, 0, "File Upload Quota Exceeded"},  // a limit of 0 refuses any byte
      {1, 11, 11, nullptr},
  };
  for (const auto& [items, day, largest, refusal] : cases) {
    Screenshot shot(file(std::to_string(day) + std::to_string(largest) + ".png", 11));
    account()->setRemainingDailyItemsCount(items);
    account()->setRemainingDailyQuotaInBytes(day);
    Content::Limits::setMaxContentSize(largest);
    manager().share(shot);
    if (!refusal) break;
    EXPECT_EQ(host_.observer->states(path(shot)), std::vector{S::error}) << refusal;
    MainQueue::drain();
    EXPECT_EQ(host_.alerts->messages().back(), refusal);
    expectNothingShared();
  }
  EXPECT_EQ(host_.alerts->messages().size(), 4u);
  EXPECT_TRUE(waitUntil([&] { return !host_.queue->counts().empty(); }, 30s));
  EXPECT_NE(clipboard_.memoryText(), "sentinel");

  // A capture without a link is reported to the states store alone.
  Screenshot missing(Url::fileURL(docs_ / "missing.png"));
  manager().share(missing);
  EXPECT_EQ(host_.observer->states(path(missing)), std::vector{S::error});
  settle(host_);
  APISettings::setServiceAddresses({addresses_.apiBaseUrl, "not a url"});
  SetUp();
  GIF gif(file("a.gif"));
  manager().share(gif);
  EXPECT_EQ(host_.observer->states(path(gif)), std::vector{S::error});
  MainQueue::drain();
  EXPECT_EQ(host_.alerts->messages(), Strings{"Shareur Lis Absent"});  // the store's
  expectNothingShared();
}

// Uploads report from their own threads while the host reads the set of those in flight.
TEST_F(ShareServiceTest, ReportsFromManyUploadThreadsAtOnceKeepTheBooks) {
  std::atomic<bool> done{false};
  std::thread host([&] {
    for (std::int64_t bytes = 0; !done;) {
      for (const auto& entry : manager().currentTasks()) bytes += entry.task->fileSize();
    }
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([this, shot = Screenshot(file(std::to_string(t)))] {
      for (int round = 0; round < 3; ++round) {
        std::vector<std::shared_ptr<UploadTask>> uploads(100);
        for (auto& upload : uploads) manager().taskUploadStarted(upload = task(shot, 100));
        for (auto& upload : uploads) manager().taskProgressUpdated(upload, 0.5);
        for (auto& upload : uploads) manager().taskUploadComplete(upload, 100, 1);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  done = true;
  host.join();
  EXPECT_TRUE(manager().currentTasks().empty());
}

TEST_F(ShareServiceTest, TheUploadQueueReportsEveryCountToAWeaklyHeldDelegate) {
  auto queue = std::make_shared<UploadQueue>();
  auto recorder = std::make_shared<QueueObserver>();
  queue->setDelegate(recorder);
  auto running = std::make_shared<UploadTask>();  // sends nothing: runs until cancelled
  queue->addUploadTask(running);
  queue->addDeleteTask(
      std::make_shared<DeleteMultipleFilesTask>(std::vector<DeleteTaskComponents>{}));
  ASSERT_TRUE(waitUntil([&] { return recorder->counts().size() >= 3; }));
  EXPECT_EQ(recorder->counts(), (std::vector<std::int64_t>{1, 2, 1}));  // did-change values only
  std::weak_ptr<QueueObserver> weak = recorder;
  queue.reset();  // a queue gone with a task in it reports nothing more
  running->cancel();
  running->waitUntilFinished();
  EXPECT_EQ(recorder->counts().size(), 3u);
  recorder.reset();
  EXPECT_TRUE(weak.expired());
}

TEST(ScreencastTitleTest, DateInTheUsersZoneThenMinutesAndTwoDigitSeconds) {
  using namespace std::chrono;
  const auto day = sys_days{2023y / January / 5} + 12h;
  icu::TimeZone::adoptDefault(icu::TimeZone::createTimeZone("UTC"));
  EXPECT_EQ(ShareManager::screencastTitle(day, 125), "Screencast - 2023-01-05 - 2:05");
  EXPECT_EQ(ShareManager::screencastTitle(day, 3605), "Screencast - 2023-01-05 - 60:05");
  icu::TimeZone::adoptDefault(icu::TimeZone::createTimeZone("Pacific/Kiritimati"));
  EXPECT_EQ(ShareManager::screencastTitle(day, 0), "Screencast - 2023-01-06 - 0:00");
  icu::TimeZone::adoptDefault(icu::TimeZone::createTimeZone("UTC"));
}

// With the lumo host's thumbnailer. The day's quota is checked after the thumbnail and page are
// made, and they are kept; no thumbnail, no share.
TEST_F(ShareServiceTest, AScreencastIsSharedOnlyWithAThumbnailAndWithinTheQuota) {
  const fs::path video = docs_ / "Screen Cast.mp4";
  ASSERT_TRUE(makeVideo(video, 2)) << "ffmpeg could not make a video";
  setModificationTime(video, std::time(nullptr) - 60);             // recorded a minute ago
  account()->setRemainingDailyQuotaInBytes(fs::file_size(video));  // the video alone fits
  Screencast cast(Url::fileURL(video)), noise(file("noise.mp4"));
  const auto read = HashGenerator::cacheStatistics().misses;
  manager().share(cast);
  // The video's digest is read once, off the main queue and before it: this thread runs none yet.
  for (const auto end = std::chrono::steady_clock::now() + 30s;
       HashGenerator::cacheStatistics().misses == read && std::chrono::steady_clock::now() < end;)
    std::this_thread::sleep_for(5ms);
  ASSERT_EQ(HashGenerator::cacheStatistics().misses, read + 1);
  ASSERT_TRUE(waitUntil([&] { return host_.observer->finalCount(path(cast)) == 1; }, 60s));
  MainQueue::drain();
  EXPECT_EQ(host_.alerts->messages(), Strings{"Daily Upload Quota Exceeded"});
  auto helper = Resolver::resolveFromRoot<ScreenCaptureHelperService>();
  EXPECT_TRUE(fs::exists(helper->screencastThumbnailURL(cast.fileURL())->filePath()) &&
              fs::exists(helper->screencastHTMLURL(cast.fileURL())->filePath()));
  manager().share(noise);
  ASSERT_TRUE(waitUntil([&] { return host_.observer->finalCount(path(noise)) == 1; }, 30s));
  EXPECT_EQ(host_.log->errors().back(), Error(ShareServiceError::screencastThumbnailError));
  EXPECT_EQ(HashGenerator::cacheStatistics().misses, read + 1);  // the links found it

  // A thumbnail that comes when the service is gone is dropped.
  host_.thumbnails->hold = true;
  const auto changes = host_.observer->changes().size();
  manager().share(Screencast(file("late.mp4")));
  std::weak_ptr<ShareManager> service = std::exchange(host_.manager, nullptr);
  Resolver::reset();
  ASSERT_TRUE(waitUntil([&] { return service.expired(); }, 30s));  // other threads let go
  host_.thumbnails->held().back()(PlatformImage::fromRGBA(2, 2, Bytes(16, 0xFF)));
  MainQueue::drain();
  EXPECT_EQ(host_.observer->changes().size(), changes);
  expectNothingShared();
}

// ---- The share states store ----

TEST_F(ShareServiceTest, EveryReportIsSavedAndAllButAnUploadSurvivesARestart) {
  auto [store, output] = load();
  EXPECT_EQ(readFile(statesFile()), "[]");
  store->screencapturePreparingForUploading(shot("a"));
  store->screencaptureStartedUploading(shot("b"));
  store->screencaptureUploadComplete(shot("c"));
  store->screencaptureUploadError(shot("d"), ShareServiceError::failedUpload);
  store->screencaptureUploadCancelled(Screenshot(Url::fileURL("/x/Documents/e")));
  store->screencaptureDeleteS3Completed(shot("f"));
  store->screenCaptureRemoteStateUpdated(shot("g"), true);
  store->screenCaptureRemoteStateUpdated(shot("h"), false);
  store->screencaptureProgressUpdated(shot("b"), 1000, 0.4);  // never saved
  store->screencaptureProgressUpdated(shot("c"), 1000, 1.0);  // only while uploading
  EXPECT_EQ(store->getProgress(shot("c")), std::nullopt);
  // Captures are known by their path below Documents.
  const StateMap expected = parseStates(R"([{"id":"/a","state":"preparingForUploading"},
    {"id":"/b","state":"uploading"},{"id":"/c","state":"uploaded"},{"id":"/d","state":"error"},
    {"id":"/e","state":"cancelled"},{"id":"/f","state":"notUploaded"},
    {"id":"/g","state":"uploaded"},{"id":"/h","state":"notUploaded"}])");
  store->waitUntilSaved();
  EXPECT_EQ(saved(), expected);
  EXPECT_EQ(fs::status(statesFile()).permissions(), fs::perms(0644));  // other tools read it

  store.reset();
  std::tie(store, output) = load();
  EXPECT_EQ(output, "");                    // an upload cut short is no error of the file
  for (const auto& [id, state] : expected)  // an upload does not survive a restart
    EXPECT_EQ(rawValue(store->getState(shot(id.substr(1)))), id == "/b" ? "error" : state) << id;
  store->screencaptureUploadComplete(shot("i"));
  store->waitUntilSaved();
  EXPECT_EQ(saved()["/b"], "error");
}

TEST_F(ShareServiceTest, AnInvalidFileIsLoggedAndReplacedAsAWhole) {
  const std::pair<std::string, std::string> cases[] = {
      {R"([{"id":"/a","state":"uploaded"},{"id":"/b","state":1}])", kFormat},
      {R"([{"id":"/a"}])", "\u2764\uFE0F The data couldn't be read because it is missing., [:]\n"},
  };
  for (const auto& [text, line] : cases) {
    writeFile(statesFile(), text);
    auto [store, output] = load();
    EXPECT_EQ(output, line + kIncorrect) << text.substr(0, 50);
    EXPECT_EQ(readFile(statesFile()), "[]");
    EXPECT_EQ(store->getState(shot("a")), S::unknown);
  }
  // Tolerated: other members, an id written again (the first wins), a member written again (the
  // last wins).
  writeFile(statesFile(),
            R"([{"state":"uploaded","id":"/a","x":{"k":[1,null]}},{"id":"/a","state":"error"},
    {"id":"/b","state":"notUploaded","id":"/c"}])");
  auto [store, output] = load();
  EXPECT_EQ(output, "");
  EXPECT_EQ(store->getState(shot("a")), S::uploaded);
  EXPECT_EQ(store->getState(shot("b")), S::unknown);
  EXPECT_EQ(store->getState(shot("c")), S::notUploaded);
}

TEST_F(ShareServiceTest, AFileThatCannotBeReadIsNeverOverwrittenUntilALoadSucceeds) {
  const std::string prefix =
      "\u2764\uFE0F Cannot read the states file \"" + statesFile().string() + "\"";
  fs::remove(statesFile());
  fs::create_symlink("/proc/self/mem", statesFile());  // reading at 0 fails with EIO
  auto [unread, output] = load();
  EXPECT_TRUE(output.starts_with(prefix + ": Input/output error")) << output;
  unread->screencaptureUploadComplete(shot("a"));
  unread->waitUntilSaved();
  EXPECT_TRUE(fs::is_symlink(statesFile()));
  fs::remove(statesFile());
  writeFile(statesFile(), R"([{"id":"/a","state":"error"},{"id":"/b","state":"uploaded"}])");
  unread->loadFromStorage();  // what was recorded meanwhile wins over the file
  EXPECT_EQ(saved(), (StateMap{{"/a", "uploaded"}, {"/b", "uploaded"}}));
}

// Saves that fail are logged and tried again; one still due when the store goes is made then.
TEST_F(ShareServiceTest, LeftoversOfAKilledSaveGoUnlessLockedAndFailedSavesAreRetried) {
  const fs::path temporary = internal() / ".share_states.json-";
  for (const char* name : {"a1B2c3", "keep", "InUse1"}) writeFile(temporary.string() + name, "[");
  const int inUse = ::open((temporary.string() + "InUse1").c_str(), O_RDONLY);
  ASSERT_EQ(::flock(inUse, LOCK_EX), 0);  // a save in progress, here or in another process
  load();
  ::close(inUse);
  EXPECT_FALSE(fs::exists(temporary.string() + "a1B2c3"));
  EXPECT_TRUE(fs::exists(temporary.string() + "keep") && fs::exists(temporary.string() + "InUse1"));
  fs::remove_all(internal());
  auto store = load();
  EXPECT_TRUE(store.second.starts_with("\u2764\uFE0F Cannot write the states file"))
      << store.second;
  EXPECT_FALSE(fs::exists(internal()));  // the host creates it, not the store
  fs::create_directories(internal());
  std::promise<void> release;  // the next save waits behind this
  store.first->statesQueue().async([held = release.get_future().share()] { held.wait(); });
  store.first->screencaptureUploadCancelled(shot("0"));
  store.first.reset();
  EXPECT_EQ(saved(), (StateMap{{"/0", "cancelled"}}));
  release.set_value();
}

// share_states_writer, killed at a random moment, always leaves a whole file holding one of the
// sets of states it held: a prefix of /c0 ... /c39 at step g + 1, the rest at step g.
TEST_F(ShareServiceTest, AWriterKilledAtRandomMomentsNeverLeavesAHalfWrittenFile) {
  const char* const steps[5] = {"preparingForUploading", "error", "uploaded", "cancelled",
                                "notUploaded"};
  auto held = [&](const StateMap& file, const StateMap& loaded) {
    for (int g = 0; g <= 5; ++g)  // 0: the file it loaded, before its first step
      for (int m = 0; m <= 40; ++m) {
        StateMap expected = loaded;
        for (int j = 0; j < 40; ++j)
          if (j < m || g > 0) expected["/c" + std::to_string(j)] = steps[(j < m ? g + 1 : g) % 5];
        if (expected == file) return true;
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

    const std::string text = readFile(statesFile());
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
