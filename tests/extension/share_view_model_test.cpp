#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ExtensionTestSupport.h"
#include "lumo/capture/UniqueNamesGenerator.h"
#include "lumo/extension/ShareDataType.h"
#include "lumo/extension/ShareExtensionError.h"
#include "lumo/extension/ShareItemURL.h"
#include "lumo/extension/ShareViewModel.h"
#include "lumo/platform/LinuxExtensionContext.h"
#include "lumo/platform/LinuxExtensionItem.h"
#include "lumo/platform/LinuxItemProvider.h"
#include "lumo/support/DispatchQueue.h"

namespace lumo {
namespace {

using namespace extension_testing;
using namespace std::chrono_literals;

double secondsSince2001() {
  return UniqueNamesGenerator::secondsSinceReferenceDate(std::chrono::system_clock::now());
}

// The seconds in `name` when it reads `base`, "_", a decimal with a fraction, ".", `extension`.
std::optional<double> uniqueNameSeconds(const std::string& name, const std::string& base,
                                        const std::string& extension) {
  const std::string prefix = base + "_";
  const std::string suffix = "." + extension;
  if (name.size() <= prefix.size() + suffix.size() || !name.starts_with(prefix) ||
      !name.ends_with(suffix)) {
    return std::nullopt;
  }
  const std::string number =
      name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
  const std::size_t point = number.find('.');
  if (point == std::string::npos || point == 0 || point + 1 == number.size()) return std::nullopt;
  for (std::size_t i = 0; i < number.size(); ++i) {
    if (i != point && (number[i] < '0' || number[i] > '9')) return std::nullopt;
  }
  return std::stod(number);
}

// Every test runs in a home of its own: the caches folder is the extension's own in
// $XDG_CACHE_HOME, the application group's container lives in $XDG_DATA_HOME.
class ShareViewModelTest : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(container()); }

  fs::path in(const std::string& name) const { return root_ / "in" / name; }
  fs::path caches() const { return root_ / "cache/lumo" / ShareViewModel::kCachesFolderName; }
  fs::path container() const { return root_ / "data" / FileStorage::defaultSharedAppGroup(); }
  fs::path sharedLibrary() const { return container() / "Library/Caches"; }

  // Begins the intake of `context` and runs the main queue until the completion has run;
  // gives what was written meanwhile.
  std::string intake(const std::shared_ptr<ExtensionContext>& context) {
    CapturedStdout out;
    auto done = std::make_shared<std::atomic<bool>>(false);
    auto view = view_;
    model_->handleBeginRequest(context, [view, done] {
      view->note(DispatchQueue::isMainThread() ? "completion on main" : "completion elsewhere");
      *done = true;
    });
    EXPECT_TRUE(MainQueue::runUntil([&] { return done->load(); }, 20s));
    return out.take();
  }

  std::string confirm(const std::shared_ptr<ExtensionContext>& context) {
    CapturedStdout out;
    model_->handleSharePressed(context);
    return out.take();
  }

  // The local paths of the listed items.
  std::vector<fs::path> itemPaths() const {
    std::vector<fs::path> paths;
    for (const auto& item : model_->shareItems()) {
      const auto* url = dynamic_cast<const ShareItemURL*>(item.get());
      paths.push_back(url ? url->url.filePath() : fs::path("not a URL item"));
    }
    return paths;
  }

  TempDir root_;
  ScopedEnv home_{"HOME", (root_ / "home").native()};
  ScopedEnv cache_{"XDG_CACHE_HOME", (root_ / "cache").native()};
  ScopedEnv data_{"XDG_DATA_HOME", (root_ / "data").native()};
  std::shared_ptr<RecordingView> view_ = std::make_shared<RecordingView>();
  std::shared_ptr<ShareViewModel> model_ = std::make_shared<ShareViewModel>(view_);
};

TEST(ShareExtensionTypesTest, KindsAndErrorTexts) {
  const auto types = ShareDataType::supportedDataTypes();
  ASSERT_EQ(types.size(), 3u);
  EXPECT_EQ(types[0], ShareDataType::image);
  EXPECT_EQ(types[1], ShareDataType::movie);
  EXPECT_EQ(types[2], ShareDataType::fileURL);
  EXPECT_EQ(types[0].cfString(), "public.image");
  EXPECT_EQ(types[1].cfString(), "public.movie");
  EXPECT_EQ(types[2].cfString(), "public.file-url");

  EXPECT_EQ(Error(ShareExtensionError::urlToShareIsAbsent).localizedDescription(),
            "Item's URL is absent");
  EXPECT_EQ(Error(ShareExtensionError::cantGetSharedStorage).localizedDescription(),
            "Can't get shared storage URL");
  EXPECT_EQ(Error(ShareExtensionError::cantGetLocalCachesDirectoryURLs).localizedDescription(),
            "Can't get local storage URL");
  EXPECT_EQ(Error(ShareExtensionError::cantGetImageData).localizedDescription(),
            "Can't get image data");
}

// ---- beginning a request ----

TEST_F(ShareViewModelTest, RequestsWithoutItemsOrAttachmentsCompleteAtOnce) {
  struct Case {
    std::shared_ptr<LinuxExtensionContext> context;
    std::string line;
  };
  const std::vector<Case> cases = {
      {std::make_shared<LinuxExtensionContext>(std::vector<std::shared_ptr<ExtensionItem>>{}),
       "Share extension: Input items are not found\n"},
      // An input item of a kind the extension cannot read.
      {std::make_shared<LinuxExtensionContext>(
           std::vector<std::shared_ptr<ExtensionItem>>{nullptr}),
       "Share extension: Input items are not found\n"},
      {LinuxExtensionContext::withFilePaths({}), "Share extension: Item providers are not found\n"},
  };
  for (const auto& c : cases) {
    CapturedStdout out;
    bool called = false;
    model_->handleBeginRequest(c.context, [&] { called = true; });
    EXPECT_EQ(out.take(), c.line);
    auto ending = c.context->ending();
    ASSERT_TRUE(ending);
    EXPECT_FALSE(ending->cancelled);
    EXPECT_EQ(ending->returnedItems, 0u);
    EXPECT_EQ(c.context->endingsCount(), 1);
    MainQueue::runFor(20ms);
    EXPECT_FALSE(called);
  }
  EXPECT_TRUE(view_->events().empty());
  EXPECT_EQ(model_->shareItemsCount(), 0);
}

TEST_F(ShareViewModelTest, OnlyImagesMoviesAndFilesOfTheFirstInputItemAreTakenIn) {
  writeFile(in("photo.png"), "png");
  writeFile(in("clip.mp4"), "mp4");
  writeFile(in("notes.txt"), "txt");
  writeFile(in("second.png"), "second");
  auto uris = LinuxExtensionContext::withURIList(
      Url::fileURL(in("photo.png")).absoluteString() + "\r\nhttps://example.com/page.html\r\n" +
      Url::fileURL(in("clip.mp4")).absoluteString() + "\r\n" +
      Url::fileURL(in("notes.txt")).absoluteString() + "\r\n");
  // A provider of plain text only.
  auto text = std::make_shared<ScriptedItemProvider>(std::vector<std::string>{"public.plain-text"},
                                                     urlData("hello"));
  auto first = uris->inputItems().front()->attachments();
  first.insert(first.begin() + 1, text);
  auto context =
      std::make_shared<LinuxExtensionContext>(std::vector<std::shared_ptr<ExtensionItem>>{
          std::make_shared<LinuxExtensionItem>(first),
          std::make_shared<LinuxExtensionItem>(std::vector<std::shared_ptr<ItemProvider>>{
              LinuxItemProvider::forFilePath(in("second.png"))})});

  EXPECT_EQ(intake(context), "");  // skipped attachments leave no line
  EXPECT_EQ(itemPaths(), (std::vector<fs::path>{caches() / "photo.png", caches() / "clip.mp4",
                                                caches() / "notes.txt"}));
  EXPECT_EQ(readFile(caches() / "clip.mp4"), "mp4");
  EXPECT_TRUE(text->requested().empty());
  EXPECT_EQ(namesIn(caches()), (std::vector<std::string>{"clip.mp4", "notes.txt", "photo.png"}));
  EXPECT_FALSE(context->ending());  // the request goes on until the user decides
}

TEST_F(ShareViewModelTest, FailedLoadsAreReportedAndTheIntakeGoesOn) {
  writeFile(in("good.png"), "good");
  auto broken = std::make_shared<ScriptedItemProvider>(
      std::vector<std::string>{"public.image"}, Error::transport("Test", 3, "The item is gone"));
  auto notData =
      std::make_shared<ScriptedItemProvider>(std::vector<std::string>{"public.movie"},
                                             ItemProvider::Item{std::string("file:///tmp/x.mov")});
  auto notURL = std::make_shared<ScriptedItemProvider>(std::vector<std::string>{"public.file-url"},
                                                       urlData("x.png"));
  auto context = LinuxExtensionContext::withFilePaths({in("missing.png"), in("good.png")});
  auto providers = context->inputItems().front()->attachments();
  providers.insert(providers.begin(), {broken, notData, notURL});
  context = std::make_shared<LinuxExtensionContext>(
      std::vector<std::shared_ptr<ExtensionItem>>{std::make_shared<LinuxExtensionItem>(providers)});

  EXPECT_EQ(intake(context),
            "The item is gone\n"
            "Can't cast item to Data\n"
            "Can't cast item's data to URL\n"
            "Cannot share \u201c" +
                in("missing.png").native() + "\u201d: No such file or directory\n");
  EXPECT_EQ(broken->requested(), std::vector<std::string>{"public.url"});
  EXPECT_EQ(notData->requested(), std::vector<std::string>{"public.url"});
  EXPECT_EQ(itemPaths(), std::vector<fs::path>{caches() / "good.png"});
  EXPECT_EQ(view_->events(), (std::vector<std::string>{"didLoad on main", "completion on main"}));
}

TEST_F(ShareViewModelTest, CachesFolderThatCannotBeMadeIsReported) {
  writeFile(root_ / "blocker", "a file where a folder should be");
  ScopedEnv cache("XDG_CACHE_HOME", (root_ / "blocker/cache").native());
  writeFile(in("photo.png"), "png");
  EXPECT_EQ(intake(LinuxExtensionContext::withFilePaths({in("photo.png")})),
            "Share extension: Can't get local storage URL\n");
  EXPECT_EQ(model_->shareItemsCount(), 0);
}

// ---- threads ----

// Wraps a provider to watch the intake: loads must never overlap, and each must begin only
// after the outcome of the one before has been handled.
class WatchedProvider : public ItemProvider {
 public:
  struct Watch {
    std::atomic<int> inFlight{0};
    std::atomic<int> maxInFlight{0};
  };
  WatchedProvider(std::shared_ptr<ItemProvider> inner, std::shared_ptr<Watch> watch,
                  std::weak_ptr<ShareViewModel> model)
      : inner_(std::move(inner)), watch_(std::move(watch)), model_(std::move(model)) {}

  bool hasItemConformingToTypeIdentifier(std::string_view type) const override {
    return inner_->hasItemConformingToTypeIdentifier(type);
  }
  void loadItem(std::string_view type, std::function<void(Result<Item>)> completion) override {
    if (auto model = model_.lock()) itemsWhenAsked = model->shareItemsCount();
    const int now = ++watch_->inFlight;
    int max = watch_->maxInFlight;
    while (now > max && !watch_->maxInFlight.compare_exchange_weak(max, now)) {
    }
    std::this_thread::sleep_for(30ms);
    inner_->loadItem(
        type, [watch = watch_, completion = std::move(completion)](const Result<Item>& item) {
          --watch->inFlight;
          if (item) {
            completion(Item{item->value});
          } else {
            completion(item.error());
          }
        });
  }
  std::int64_t itemsWhenAsked = -1;

 private:
  std::shared_ptr<ItemProvider> inner_;
  std::shared_ptr<Watch> watch_;
  std::weak_ptr<ShareViewModel> model_;
};

TEST_F(ShareViewModelTest, ProvidersAreLoadedOneAtATimeAndTheViewIsToldOnTheMainQueue) {
  auto watch = std::make_shared<WatchedProvider::Watch>();
  std::vector<std::shared_ptr<WatchedProvider>> watched;
  std::vector<std::shared_ptr<ItemProvider>> providers;
  for (const std::string name : {"one.png", "two.mov", "three.pdf"}) {
    writeFile(in(name), name);
    watched.push_back(
        std::make_shared<WatchedProvider>(LinuxItemProvider::forFilePath(in(name)), watch, model_));
    providers.push_back(watched.back());
  }
  auto context = std::make_shared<LinuxExtensionContext>(
      std::vector<std::shared_ptr<ExtensionItem>>{std::make_shared<LinuxExtensionItem>(providers)});
  std::int64_t countWhenTold = -1;
  view_->setOnDidLoad([&] { countWhenTold = model_->shareItemsCount(); });

  EXPECT_EQ(intake(context), "");
  EXPECT_EQ(watch->maxInFlight.load(), 1);
  for (std::size_t i = 0; i < watched.size(); ++i) {
    EXPECT_EQ(watched[i]->itemsWhenAsked, static_cast<std::int64_t>(i)) << i;
  }
  EXPECT_EQ(itemPaths(), (std::vector<fs::path>{caches() / "one.png", caches() / "two.mov",
                                                caches() / "three.pdf"}));
  EXPECT_EQ(countWhenTold, 3);
  EXPECT_EQ(view_->events(), (std::vector<std::string>{"didLoad on main", "completion on main"}));
}

TEST_F(ShareViewModelTest, ModelGoneDuringTheIntakeTellsNoViewButCompletes) {
  writeFile(in("photo.png"), "png");
  auto slow = std::make_shared<ScriptedItemProvider>(
      std::vector<std::string>{"public.image"},
      urlData(Url::fileURL(in("photo.png")).absoluteString()));
  slow->delay = 200ms;
  auto context =
      std::make_shared<LinuxExtensionContext>(std::vector<std::shared_ptr<ExtensionItem>>{
          std::make_shared<LinuxExtensionItem>(std::vector<std::shared_ptr<ItemProvider>>{slow})});
  auto done = std::make_shared<std::atomic<bool>>(false);
  model_->handleBeginRequest(context, [done] { *done = true; });
  model_.reset();
  EXPECT_TRUE(MainQueue::runUntil([&] { return done->load(); }, 20s));
  EXPECT_TRUE(view_->events().empty());
  EXPECT_TRUE(namesIn(caches()).empty());
}

TEST_F(ShareViewModelTest, ProviderThatDropsItsCompletionDoesNotStallTheIntake) {
  writeFile(in("photo.png"), "png");
  auto silent =
      std::make_shared<ScriptedItemProvider>(std::vector<std::string>{"public.image"}, urlData(""));
  silent->neverAnswers = true;
  auto context =
      std::make_shared<LinuxExtensionContext>(std::vector<std::shared_ptr<ExtensionItem>>{
          std::make_shared<LinuxExtensionItem>(std::vector<std::shared_ptr<ItemProvider>>{
              silent, LinuxItemProvider::forFilePath(in("photo.png"))})});
  EXPECT_EQ(intake(context), "");
  EXPECT_EQ(itemPaths(), std::vector<fs::path>{caches() / "photo.png"});
}

// ---- confirming ----

TEST_F(ShareViewModelTest, ConfirmedFileLandsInSharedStorageUnderAUniqueName) {
  writeFile(sharedLibrary() / "older.png", "waiting");
  ASSERT_EQ(::utimensat(AT_FDCWD, (sharedLibrary() / "older.png").c_str(),
                        std::array<timespec, 2>{{{1000, 0}, {1000, 0}}}.data(), 0),
            0);
  writeFile(in("photo.png"), "png bytes");
  auto context = LinuxExtensionContext::withFilePaths({in("photo.png")});
  ASSERT_EQ(intake(context), "");

  const double before = secondsSince2001();
  const std::string output = confirm(context);
  const double after = secondsSince2001();

  const auto files = model_->fileStorage().sharedStorageFilesURLs();
  ASSERT_EQ(files.size(), 2u);
  const std::string name = files.front().lastPathComponent();
  const auto seconds = uniqueNameSeconds(name, "photo", "png");
  ASSERT_TRUE(seconds) << name;
  EXPECT_GE(*seconds, before - 0.001);
  EXPECT_LE(*seconds, after + 0.001);
  EXPECT_EQ(readFile(sharedLibrary() / name), "png bytes");
  EXPECT_EQ(files.back().lastPathComponent(), "older.png");
  EXPECT_EQ(output, "Try to copy to " + files.front().absoluteString() + "\n");
  EXPECT_EQ(files.front(), Url::fileURL(sharedLibrary() / name));

  auto ending = context->ending();
  ASSERT_TRUE(ending);
  EXPECT_FALSE(ending->cancelled);
  EXPECT_EQ(ending->returnedItems, 0u);
  EXPECT_EQ(context->endingsCount(), 1);
  EXPECT_TRUE(fs::exists(caches() / "photo.png"));  // the caches copy stays
}

TEST_F(ShareViewModelTest, ConfirmCreatesTheSharedCachesFolderInsideTheContainer) {
  writeFile(in("a.gif"), "gif");
  auto context = LinuxExtensionContext::withFilePaths({in("a.gif")});
  ASSERT_EQ(intake(context), "");
  ASSERT_FALSE(fs::exists(sharedLibrary()));
  confirm(context);
  EXPECT_EQ(namesIn(sharedLibrary()).size(), 1u);
  EXPECT_FALSE(context->ending()->cancelled);
}

TEST_F(ShareViewModelTest, ConfirmWithoutItemsOrSharedStorageCancels) {
  writeFile(in("photo.png"), "png");
  for (const auto& [path, message] : {std::pair(in("missing.png"), "Item's URL is absent"),
                                      std::pair(in("photo.png"), "Can't get shared storage URL")}) {
    auto context = LinuxExtensionContext::withFilePaths({path});
    intake(context);
    // With an item, the group is made unavailable to this process.
    if (model_->shareItemsCount() > 0) fs::remove_all(container());
    EXPECT_EQ(confirm(context), "");
    auto ending = context->ending();
    ASSERT_TRUE(ending && ending->cancelled && ending->error);
    EXPECT_EQ(ending->error->localizedDescription(), message);
    EXPECT_EQ(context->endingsCount(), 1);
  }
  model_->handleSharePressed(nullptr);  // nothing to end
}

TEST_F(ShareViewModelTest, FailedCopyCancelsOnceAndCopiesNothingMore) {
  writeFile(in("a.png"), "a");
  writeFile(in("b.png"), "b");
  auto context = LinuxExtensionContext::withFilePaths({in("a.png"), in("b.png")});
  ASSERT_EQ(intake(context), "");
  fs::remove(caches() / "a.png");

  const auto lines = linesOf(confirm(context));
  ASSERT_EQ(lines.size(), 2u);
  ASSERT_TRUE(lines[0].starts_with("Try to copy to file://")) << lines[0];
  EXPECT_TRUE(uniqueNameSeconds(Url::parse(lines[0].substr(15))->lastPathComponent(), "a", "png"))
      << lines[0];
  auto ending = context->ending();
  ASSERT_TRUE(ending && ending->cancelled && ending->error);
  EXPECT_EQ(lines[1], "Error = " + ending->error->localizedDescription());
  EXPECT_NE(lines[1].find("No such file or directory"), std::string::npos) << lines[1];
  EXPECT_EQ(context->endingsCount(), 1);
  EXPECT_TRUE(namesIn(sharedLibrary()).empty());
}

// ---- hostile names and URIs ----

TEST_F(ShareViewModelTest, FoldersMissingFilesAndBrokenURIsEndWithAnError) {
  writeFile(in("dir/inside.png"), "inside");
  writeFile(in("ok.png"), "ok");
  const std::string folder = Url::fileURL(in("dir")).absoluteString();
  auto context = LinuxExtensionContext::withURIList(
      folder + "/..\n" + folder + "/\n" + Url::fileURL(in("gone.png")).absoluteString() + "\n" +
      folder + "/%2E%2E\n" +
      "file:///tmp/a%00b.png\nfile:///tmp/%zz.png\nfile://elsewhere/x.png\n" +
      Url::fileURL(in("ok.png")).absoluteString() + "\n");
  const auto lines = linesOf(intake(context));
  const std::string dir = in("dir").native();
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "Cannot share \u201c" + dir + "/..\u201d: Is a directory",
                       "Cannot share \u201c" + dir + "/\u201d: Is a directory",
                       "Cannot share \u201c" + in("gone.png").native() +
                           "\u201d: No such file or directory",
                       "Cannot share \u201c" + dir + "/..\u201d: Is a directory",
                       "\u201cfile:///tmp/a%00b.png\u201d names no file: its path holds a NUL byte",
                       "\u201cfile:///tmp/%zz.png\u201d is not a valid file URI: it has a broken "
                       "percent-escape",
                       "\u201cfile://elsewhere/x.png\u201d names a file on another computer "
                       "(elsewhere)",
                   }));
  EXPECT_EQ(itemPaths(), std::vector<fs::path>{caches() / "ok.png"});
  EXPECT_EQ(namesIn(caches()), std::vector<std::string>{"ok.png"});
}

// Another application's provider may hand over any URL: names that would leave the caches
// folder, folders, other schemes.
TEST_F(ShareViewModelTest, URLsThatWouldLeaveTheCachesFolderAreRefused) {
  writeFile(root_ / "escape.png", "outside");
  writeFile(in("dir/x.png"), "x");
  const std::string inURL = Url::fileURL(in("")).absoluteString();  // ends in "/"
  std::vector<std::shared_ptr<ItemProvider>> providers;
  for (const std::string& text :
       {inURL + "..%2Fescape.png", std::string("file:///"), inURL + "dir/..", inURL + "dir",
        std::string("https://example.com/x.png"), inURL + "a%00b.png"}) {
    providers.push_back(std::make_shared<ScriptedItemProvider>(
        std::vector<std::string>{"public.file-url"}, urlData(text)));
  }
  const std::string nul("file:///tmp/a\0b.png", 19);
  providers.push_back(std::make_shared<ScriptedItemProvider>(
      std::vector<std::string>{"public.file-url"}, urlData(nul)));
  auto context = std::make_shared<LinuxExtensionContext>(
      std::vector<std::shared_ptr<ExtensionItem>>{std::make_shared<LinuxExtensionItem>(providers)});

  const auto lines = linesOf(intake(context));
  const std::string inPath = in("").native();  // ends in "/"
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "Share extension: Cannot copy \u201c" + inPath +
                           "../escape.png\u201d: \u201c../escape.png\u201d cannot be used as a "
                           "file name",
                       "Share extension: Cannot copy \u201c/\u201d: \u201c/\u201d cannot be used "
                       "as a file name",
                       "Share extension: Cannot copy \u201c" + inPath +
                           "dir/..\u201d: \u201c..\u201d cannot be used as a file name",
                       "Share extension: Cannot copy \u201c" + inPath + "dir\u201d: Is a directory",
                       "Share extension: \u201chttps://example.com/x.png\u201d is not a local file",
                       "Share extension: \u201c" + inURL + "a%00b.png\u201d holds a NUL byte",
                       "Can't cast item's data to URL",
                   }));
  EXPECT_EQ(model_->shareItemsCount(), 0);
  EXPECT_TRUE(namesIn(caches()).empty());
  EXPECT_EQ(readFile(root_ / "escape.png"), "outside");
  EXPECT_EQ(namesIn(root_.path()), (std::vector<std::string>{"cache", "data", "escape.png", "in"}));
}

TEST_F(ShareViewModelTest, NewlinesAndBytesThatAreNotUTF8GiveSafeNamesAndOneLineEach) {
  const std::string newline = "line\nbreak.png";
  const std::string latin1 = "caf\xe9.png";
  writeFile(in(newline), "nl");
  writeFile(in(latin1), "latin1");
  const std::string forged = "evil\nShare extension: forged.png";
  auto context = LinuxExtensionContext::withURIList(
      Url::fileURL(in(newline)).absoluteString() + "\n" +
      Url::fileURL(in(latin1)).absoluteString() + "\n" + Url::fileURL(in(forged)).absoluteString());

  const auto intakeLines = linesOf(intake(context));
  ASSERT_EQ(intakeLines.size(), 1u);
  EXPECT_EQ(intakeLines[0], "Cannot share \u201c" + in("").native() +
                                "evil\\nShare extension: forged.png\u201d: No such file or "
                                "directory");
  EXPECT_EQ(itemPaths(), (std::vector<fs::path>{caches() / newline, caches() / latin1}));
  EXPECT_EQ(readFile(caches() / newline), "nl");  // the caches copy keeps the name's bytes

  const auto lines = linesOf(confirm(context));
  ASSERT_EQ(lines.size(), 2u);
  for (const auto& line : lines) EXPECT_TRUE(line.starts_with("Try to copy to file://")) << line;
  const auto names = namesIn(sharedLibrary());
  ASSERT_EQ(names.size(), 2u);
  EXPECT_TRUE(uniqueNameSeconds(names[0], "caf_", "png")) << names[0];
  EXPECT_TRUE(uniqueNameSeconds(names[1], "line_break", "png")) << names[1];
  EXPECT_EQ(readFile(sharedLibrary() / names[0]), "latin1");
  EXPECT_FALSE(context->ending()->cancelled);
}

TEST_F(ShareViewModelTest, LongNamesAreCopiedOrRefusedAtTheLimit) {
  const std::string longest = std::string(251, 'a') + ".png";  // 255 bytes
  // A multi-byte character straddles the place where the shared name must be cut.
  const std::string accented =
      std::string(200, 'b') + std::string(18, 'c') + "\u00e9" + std::string(30, 'd') + ".png";
  ASSERT_EQ(accented.size(), 254u);
  writeFile(in(longest), "long");
  writeFile(in(accented), "accented");
  const fs::path tooLong = in(std::string(252, 'z') + ".png");  // 256 bytes
  auto context = LinuxExtensionContext::withFilePaths({in(longest), tooLong, in(accented)});

  EXPECT_EQ(intake(context),
            "Cannot share \u201c" + tooLong.native() + "\u201d: File name too long\n");
  EXPECT_EQ(itemPaths(), (std::vector<fs::path>{caches() / longest, caches() / accented}));

  confirm(context);
  const auto names = namesIn(sharedLibrary());
  ASSERT_EQ(names.size(), 2u);
  for (const auto& name : names) EXPECT_LE(name.size(), 255u) << name;
  // The base gives way to the time and the extension; the cut never splits the "é".
  EXPECT_TRUE(uniqueNameSeconds(names[0], std::string(219, 'a'), "png")) << names[0];
  EXPECT_TRUE(uniqueNameSeconds(names[1], std::string(200, 'b') + std::string(18, 'c'), "png"))
      << names[1];
  EXPECT_EQ(readFile(sharedLibrary() / names[1]), "accented");
  EXPECT_FALSE(context->ending()->cancelled);
}

// Only an earlier copy is replaced: of two files of one name the second copy wins, both listed.
TEST_F(ShareViewModelTest, CachesCopyNeverDestroysWhatIsNotAnEarlierCopy) {
  // A file that already lives in the caches folder is listed, not removed and copied.
  writeFile(caches() / "inplace.png", "in place");
  // Another application's file in the cache root, and a folder the intake never made, that
  // happen to bear the names of shared files.
  writeFile(root_ / "cache/index.db", "theirs");
  writeFile(caches() / "shared.png" / "keep", "kept");
  writeFile(in("index.db"), "mine");
  writeFile(in("shared.png"), "mine");
  writeFile(root_ / "a/photo.png", "first");
  writeFile(root_ / "b/photo.png", "second");
  // A symbolic link is shared for the file it points to.
  writeFile(in("real.png"), "real");
  fs::create_symlink(in("real.png"), in("link.png"));

  auto context = LinuxExtensionContext::withFilePaths({caches() / "inplace.png", in("index.db"),
                                                       in("shared.png"), root_ / "a/photo.png",
                                                       root_ / "b/photo.png", in("link.png")});
  const auto lines = linesOf(intake(context));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "Share extension: Cannot copy \u201c" +
                          fs::canonical(in("shared.png")).native() + "\u201d to \u201c" +
                          (caches() / "shared.png").native() + "\u201d: File exists");
  EXPECT_EQ(itemPaths(), (std::vector<fs::path>{caches() / "inplace.png", caches() / "index.db",
                                                caches() / "photo.png", caches() / "photo.png",
                                                caches() / "link.png"}));
  EXPECT_EQ(readFile(caches() / "inplace.png"), "in place");
  EXPECT_EQ(readFile(root_ / "cache/index.db") + readFile(caches() / "index.db"), "theirsmine");
  EXPECT_EQ(readFile(caches() / "photo.png") + readFile(root_ / "a/photo.png"), "secondfirst");
  EXPECT_EQ(readFile(caches() / "shared.png" / "keep"), "kept");
  EXPECT_FALSE(fs::is_symlink(caches() / "link.png"));
  EXPECT_EQ(readFile(caches() / "link.png"), "real");
}

}  // namespace
}  // namespace lumo
