#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "../common/TestFiles.h"
#include "lumo/extension/ShareExtensionError.h"
#include "lumo/extension/ShareItemURL.h"
#include "lumo/extension/ShareViewModel.h"
#include "lumo/platform/LinuxExtensionContext.h"
#include "lumo/platform/LinuxExtensionItem.h"
#include "lumo/platform/LinuxItemProvider.h"
#include "lumo/support/DispatchQueue.h"

namespace lumo {
namespace {

using namespace testing_files;
using namespace std::chrono_literals;
using Lines = std::vector<std::string>;
using Providers = std::vector<std::shared_ptr<ItemProvider>>;

// Another application's provider: it conforms to `types` and answers every load with `answer`
// on the global queue, or keeps the completion for the test (`holds`), or drops it (`drops`).
// `overlaps` counts the loads asked for while another was unanswered.
struct Provider : ItemProvider {
  enum Mode { answers, holds, drops };
  Provider(Lines types, Result<Item> answer, Mode mode = answers)
      : types(std::move(types)), answer(std::move(answer)), mode(mode) {}
  bool hasItemConformingToTypeIdentifier(std::string_view type) const override {
    return std::ranges::find(types, type) != types.end();
  }
  void loadItem(std::string_view type, std::function<void(Result<Item>)> completion) override {
    requested.push_back(std::string(type));  // read once the intake is over
    if (mode == drops) return;
    if (inFlight++ != 0) ++overlaps;
    held = [completion](const Result<Item>& item) { --inFlight, completion(item); };
    if (mode == answers) DispatchQueue::global().async([done = held, a = answer] { done(a); });
    isHeld = mode == holds;
  }
  Lines types, requested;
  Result<Item> answer;
  Mode mode;
  std::function<void(Result<Item>)> held;  // the completion kept, once `isHeld`
  std::atomic<bool> isHeld{false};
  static inline std::atomic<int> inFlight{0}, overlaps{0};
};

// Data holding `text`, as a URL provider hands it over.
ItemProvider::Item urlData(const std::string& text) {
  return ItemProvider::Item{ItemProvider::Data(text.begin(), text.end())};
}

// The names in `folder`, sorted; empty when it does not exist.
Lines namesIn(const fs::path& folder) {
  Lines names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec))
    names.push_back(entry.path().filename());
  std::ranges::sort(names);
  return names;
}

std::shared_ptr<LinuxExtensionContext> contextOf(const std::vector<Providers>& items) {
  std::vector<std::shared_ptr<ExtensionItem>> list;
  for (const auto& providers : items)
    list.push_back(std::make_shared<LinuxExtensionItem>(providers));
  return std::make_shared<LinuxExtensionContext>(list);
}

// How the request ended, and how many times it was asked to.
std::string endingOf(const LinuxExtensionContext& context) {
  const auto ending = context.ending();
  return (!ending             ? "open"
          : ending->cancelled ? "cancelled: " + ending->error.value().localizedDescription()
                              : "completed with " + std::to_string(ending->returnedItems)) +
         " x" + std::to_string(context.endingsCount());
}

struct RecordingView : ShareView {
  void shareItemsDidLoad() override {
    events.push_back((DispatchQueue::isMainThread() ? "told on main of " : "told elsewhere of ") +
                     std::to_string((*model)->shareItemsCount()));
  }
  const std::shared_ptr<ShareViewModel>* model = nullptr;  // the fixture's, whichever it is
  Lines events;                                            // read on the main queue only
};

// The first ending counts and reaches the host; later ones are only counted.
TEST(LinuxExtensionContext, RequestEndsOnceAndTellsTheHost) {
  auto context = LinuxExtensionContext::withFilePaths({});
  Lines told;
  context->setEndingHandler([&](const auto&) { told.push_back(endingOf(*context)); });
  context->completeRequest({nullptr, nullptr},
                           [&](bool expired) { told.push_back(expired ? "expired" : "in time"); });
  context->cancelRequest(ShareExtensionError::cantGetSharedStorage);
  context->completeRequest({}, [&](bool) { told.push_back("again"); });
  EXPECT_EQ(told, (Lines{"in time", "completed with 2 x1"}));
  EXPECT_EQ(endingOf(*context), "completed with 2 x3");
}

// Every test runs in a home of its own: the caches folder is the extension's own in
// $XDG_CACHE_HOME, the application group's container lives in $XDG_DATA_HOME.
class ShareViewModelTest : public ::testing::Test {
 protected:
  TempDir root_;
  const fs::path container_ = root_ / "XDG_DATA_HOME" / FileStorage::defaultSharedAppGroup();
  std::shared_ptr<RecordingView> view_ = std::make_shared<RecordingView>();
  std::shared_ptr<ShareViewModel> model_ = std::make_shared<ShareViewModel>(view_);

  void SetUp() override {
    for (const char* name : {"HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME"})
      ::setenv(name, (root_ / name).c_str(), 1);
    fs::create_directories(container_);
    view_->model = &model_;
  }
  fs::path in(const std::string& name) const { return root_ / "in" / name; }
  fs::path caches() const { return root_ / "XDG_CACHE_HOME/lumo/ShareExtension"; }
  fs::path library() const { return container_ / "Library/Caches"; }
  std::shared_ptr<ItemProvider> file(const std::string& name, const std::string& bytes = "x") {
    writeFile(in(name), bytes);
    return LinuxItemProvider::forFilePath(in(name));
  }

  // Runs the intake to its completion (or, with `confirm`, the confirmation); gives the lines
  // written.
  Lines run(const std::shared_ptr<ExtensionContext>& context, bool confirm = false) {
    ::testing::internal::CaptureStdout();
    auto done = std::make_shared<std::atomic<bool>>(confirm);
    confirm ? model_->handleSharePressed(context)
            : model_->handleBeginRequest(
                  context, [view = view_, done] { *done = true, view->events.push_back("done"); });
    EXPECT_TRUE(MainQueue::runUntil([&] { return done->load(); }, 30s));
    std::istringstream out(::testing::internal::GetCapturedStdout());
    Lines lines;
    for (std::string line; std::getline(out, line);) lines.push_back(line);
    return lines;
  }
};

// One intake of every kind of item another application may hand over, then the confirmation.
TEST_F(ShareViewModelTest, IntakeTakesInWhatItCanAndConfirmCopiesItToSharedStorage) {
  const std::string longest = std::string(251, 'a') + ".png";  // 255 bytes
  // A multi-byte character straddles the place where the shared name must be cut.
  const std::string accented = std::string(218, 'b') + "\u00e9" + std::string(30, 'd') + ".png";
  writeFile(caches() / "inplace.png", "in place");         // listed where it is
  writeFile(root_ / "XDG_CACHE_HOME/index.db", "theirs");  // another application's
  writeFile(caches() / "shared.png/keep", "kept");         // a folder the intake never made
  writeFile(in("dir/real.png"), "real");  // a link is taken in as the file it points to
  fs::create_symlink(in("dir/real.png"), in("link.png"));
  const std::string inURL = Url::fileURL(in("")).absoluteString(), inPath = in("").native();
  auto other = [](Lines types, Result<ItemProvider::Item> answer, auto... mode) {  // of another app
    return std::make_shared<Provider>(std::move(types), std::move(answer), mode...);
  };
  auto at = [](const fs::path& path) { return LinuxItemProvider::forFilePath(path); };
  auto urlOf = [&](const std::string& text) { return other({"public.file-url"}, urlData(text)); };
  auto text = other({"public.plain-text"}, urlData("hello")),
       broken = other({"public.image"}, Error::transport("Test", 3, "The item is gone"));
  const std::string copy = "Share extension: Cannot copy \u201c",
                    bad = "\u201d cannot be used as a file name";
  // A text/uri-list as a file manager drops it: each URI stands for the next provider parsed.
  writeFile(root_ / "globs2", "50:image/x-pic:*.pic\n50:video/x-flick:*.flick\n");
  std::string list = "# dropped from the file manager\r\n\r\n";
  auto uri = [&](const std::string& text) {
    list += text + (list.size() % 2 ? "\n" : "\r\n");
    return std::shared_ptr<ItemProvider>();
  };
  using Row = std::tuple<std::shared_ptr<ItemProvider>, std::string, std::string>;
  auto refused = [&](const std::string& text, const std::string& why) {
    return Row{uri(text), "\u201c" + text + "\u201d " + why, ""};
  };
  auto gone = [](const fs::path& path) {
    return "Cannot share \u201c" + path.native() + "\u201d: No such file or directory";
  };
  const std::string escape = "is not a valid file URI: it has a broken percent-escape";
  writeFile(in("a b.pic"), "pic");
  // Each item handed over, the line the intake writes of it, the name it is taken in under.
  // clang-format off
  const std::vector<Row> rows = {
      {file("photo.png", "png"), "", "photo.png"}, {text, "", ""}, {file("clip.mp4"), "", "clip.mp4"}, {broken, "The item is gone", ""},
      {other({"public.movie"}, ItemProvider::Item{std::string("file:///x")}), "Can't cast item to Data", ""},
      {other({"public.file-url"}, urlData(std::string("file:///a\0b", 11))), "Can't cast item's data to URL", ""},
      {other({"public.image"}, urlData(""), Provider::drops), "", ""},
      {at(caches() / "inplace.png"), "", "inplace.png"}, {file("index.db", "mine"), "", "index.db"},
      {file("shared.png"), copy + fs::canonical(in("shared.png")).native() + "\u201d to \u201c" +
                               (caches() / "shared.png").native() + "\u201d: File exists", ""},
      {file("../b/photo.png", "second"), "", "photo.png"}, {at(in("link.png")), "", "link.png"},
      {file("line\nbreak.png"), "", "line\nbreak.png"}, {file("caf\xe9.png", "latin1"), "", "caf\xe9.png"},
      {file("del\x7f.png"), "", "del\x7f.png"}, {file("ext.p\rg"), "", "ext.p\rg"}, {file(longest), "", longest},
      {file(accented, "accented"), "", accented}, {at(in("evil\nShare extension: x")), gone(inPath + "evil\\nShare extension: x"), ""},
      {urlOf(inURL + "..%2Fescape.png"), copy + inPath + "../escape.png\u201d: \u201c../escape.png" + bad, ""},
      {urlOf(inURL + "dir/.."), copy + inPath + "dir/..\u201d: \u201c.." + bad, ""},
      {urlOf(inURL + "dir"), copy + inPath + "dir\u201d: Is a directory", ""},
      {urlOf("https://example.com/x.png"), "Share extension: \u201chttps://example.com/x.png\u201d is not a local file", ""},
      {urlOf(inURL + "a%00b"), "Share extension: \u201c" + inURL + "a%00b\u201d holds a NUL byte", ""},
      {uri(inURL + "a%20b.pic"), "", "a b.pic"}, {uri(inURL + "dir"), "Cannot share \u201c" + inPath + "dir\u201d: Is a directory", ""},
      {uri("file:///tmp/a%20b.pic"), gone("/tmp/a b.pic"), ""}, {uri("  file://LOCALHOST/tmp/c.FLICK  "), gone("/tmp/c.FLICK"), ""},
      {uri("file:/tmp/notes.txt"), gone("/tmp/notes.txt"), ""}, {uri("FILE:///tmp/caf%E9%0a.pic"), gone("/tmp/caf\xe9\\n.pic"), ""},
      {uri("https://example.com/e.pic"), "", ""}, refused("file:///tmp/bad%zz.pic", escape), refused("file:///tmp/cut%4", escape),
      refused("file:///tmp/x%00y.pic", "names no file: its path holds a NUL byte"),
      refused("file://server/x.pic", "names a file on another computer (server)"),
      refused("file:///x#2", "is not a valid file URI: it has a query or a fragment"),
      refused("file:relative.pic", "is not a valid file URI"), refused("file://", "names no file"), refused("/tmp/raw.pic", "is not a URI"),
      {at("rel/x"), gone(fs::current_path() / "rel/x"), ""}, {at(""), "An empty path names no file", ""}};
  // clang-format on
  const MimeTypes types(MimeTypes::Sources{root_ / "globs2", root_ / "none"});
  const auto parsed =
      LinuxExtensionContext::withURIList(list, types)->inputItems()[0]->attachments();
  std::string conforms;  // the letter after "public." of image, movie, file-url and url
  for (const auto& provider : parsed) {
    for (auto type : {kUTTypeImage, kUTTypeMovie, kUTTypeFileURL, kUTTypeURL})
      if (provider->hasItemConformingToTypeIdentifier(type)) conforms += type[7];
    conforms += ' ';
  }
  EXPECT_EQ(conforms, "ifu fu ifu mfu fu ifu u fu fu fu fu fu fu fu fu ");
  Providers providers;
  Lines lines, taken, listed;
  for (std::size_t next = 0; auto& [provider, line, name] : rows) {
    providers.push_back(provider ? provider : parsed.at(next++));
    if (!line.empty()) lines.push_back(line);
    if (!name.empty()) taken.push_back(name);
  }
  auto context = contextOf({providers, {file("second.png")}});
  EXPECT_EQ(run(context), lines);
  for (const auto& item : model_->shareItems())
    listed.push_back(
        dynamic_cast<const ShareItemURL&>(*item).url.filePath().lexically_relative(caches()));
  EXPECT_EQ(listed, taken);
  // Another application's file and a folder stay; the earlier copy of a name is replaced; a
  // link is copied as the file it points to.
  Lines contents;
  for (auto path : {caches() / "inplace.png", root_ / "XDG_CACHE_HOME/index.db",
                    caches() / "index.db", caches() / "shared.png/keep", caches() / "photo.png",
                    in("photo.png"), caches() / "link.png"})
    contents.push_back(readFile(path) + (fs::is_symlink(path) ? " (a link)" : ""));
  EXPECT_EQ(contents, (Lines{"in place", "theirs", "mine", "kept", "second", "png", "real"}));
  EXPECT_EQ(namesIn(root_.path()), (Lines{"XDG_CACHE_HOME", "XDG_DATA_HOME", "b", "globs2", "in"}));
  // One load at a time, each after the last one's outcome, of the first kind matched whatever it
  // was; the request stays open until the user decides.
  EXPECT_EQ(
      std::tuple(Provider::overlaps.load(), text->requested, broken->requested, view_->events,
                 endingOf(*context)),
      std::tuple(0, Lines{}, Lines{"public.url"},
                 Lines{"told on main of " + std::to_string(taken.size()), "done"}, "open x0"));

  const Lines copies = run(context, true);
  Lines names;  // without the seconds since 2001
  for (const auto& name : namesIn(library())) {
    const std::string url = Url::fileURL(library() / name).absoluteString();
    EXPECT_EQ(std::ranges::count(copies, "Try to copy to " + url), 1) << name;
    names.push_back(std::regex_replace(name, std::regex("_-?[0-9.e-]+?(\\.[^.]*)?$"), "$1"));
  }
  std::ranges::sort(names);
  // The base gives way to the time and the extension; the cut never splits the "é".
  EXPECT_EQ(names, (Lines{"a b.pic", std::string(219, 'a') + ".png", std::string(218, 'b') + ".png",
                          "caf_.png", "clip.mp4", "del_.png", "ext.p_g", "index.db", "inplace.png",
                          "line_break.png", "link.png", "photo.png", "photo.png"}));
  // One copy line each; the caches copies stay.
  EXPECT_EQ(std::tuple(copies.size(), namesIn(caches()).size(), endingOf(*context),
                       readFile(library() / namesIn(library())[2])),
            std::tuple(taken.size(), taken.size(), "completed with 0 x1", "accented"));
}

TEST_F(ShareViewModelTest, RequestsWithoutItemsOrAttachmentsCompleteAtOnce) {
  using Items = std::vector<std::shared_ptr<ExtensionItem>>;
  for (const auto& [items, line] : std::vector<std::pair<Items, std::string>>{
           {{}, "Input items are not found"},
           {{nullptr}, "Input items are not found"},
           {{std::make_shared<LinuxExtensionItem>(Providers{})}, "Item providers are not found"}}) {
    auto context = std::make_shared<LinuxExtensionContext>(items);
    ::testing::internal::CaptureStdout();
    model_->handleBeginRequest(context, [this] { view_->events.push_back("done"); });
    EXPECT_EQ(::testing::internal::GetCapturedStdout() + endingOf(*context),
              "Share extension: " + line + "\ncompleted with 0 x1");
  }
  MainQueue::drain();
  EXPECT_TRUE(view_->events.empty());
}

TEST_F(ShareViewModelTest, ModelGoneDuringTheIntakeTellsNoViewButCompletes) {
  auto held = std::make_shared<Provider>(Lines{"public.image"}, urlData(""), Provider::holds);
  auto done = std::make_shared<std::atomic<bool>>(false);
  model_->handleBeginRequest(contextOf({{held}}), [done] { *done = true; });
  ASSERT_TRUE(MainQueue::runUntil([&] { return held->isHeld.load(); }, 30s));
  model_.reset();
  held->held(urlData(Url::fileURL(in("a.png")).absoluteString()));
  EXPECT_TRUE(MainQueue::runUntil([&] { return done->load(); }, 30s) && view_->events.empty());
}

// A confirmation that cannot copy everything copies nothing more and cancels the request once.
TEST_F(ShareViewModelTest, ConfirmThatCannotCopyCancelsOnce) {
  for (const auto& [how, expected] : std::vector<std::pair<std::string, std::string>>{
           {"no item", "cancelled: Item's URL is absent x1"},
           {"no context", "open x0"},
           {"no shared storage", "cancelled: Can't get shared storage URL x1"},
           {"copy fails", ""},
           {"no caches folder", "cancelled: Item's URL is absent x1"}}) {
    SCOPED_TRACE(how);
    auto context = contextOf({{file("a.png"), file("b.png")}});
    model_ = std::make_shared<ShareViewModel>(view_);
    if (how == "no caches folder") ::setenv("XDG_CACHE_HOME", "/dev/null/cache", 1);
    EXPECT_EQ(
        how == "no item" ? Lines{} : run(context),
        Lines(how == "no caches folder" ? 2 : 0, "Share extension: Can't get local storage URL"));
    if (how == "no shared storage") fs::remove_all(container_);
    if (how == "copy fails") fs::remove(caches() / "a.png");
    const Lines lines = run(how == "no context" ? nullptr : context, true);
    EXPECT_EQ(namesIn(library()), Lines{});
    fs::create_directories(container_);
    if (!expected.empty()) {
      EXPECT_EQ(std::pair(lines, endingOf(*context)), std::pair(Lines{}, expected));
      continue;
    }
    const std::string tried = "Try to copy to " + Url::fileURL(library() / "a_").absoluteString();
    EXPECT_EQ(std::tuple(lines.size(), lines.at(0).substr(0, tried.size()),
                         lines.at(1).substr(0, 8), endingOf(*context)),
              std::tuple(2u, tried, "Error = ", "cancelled: " + lines.at(1).substr(8) + " x1"));
    EXPECT_TRUE(lines.at(1).ends_with("No such file or directory"));
  }
}

}  // namespace
}  // namespace lumo
