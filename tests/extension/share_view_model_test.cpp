#include <gtest/gtest.h>

#include <regex>

#include "ExtensionTestSupport.h"
#include "lumo/capture/UniqueNamesGenerator.h"
#include "lumo/extension/ShareItemURL.h"
#include "lumo/extension/ShareViewModel.h"
#include "lumo/platform/LinuxExtensionContext.h"
#include "lumo/platform/LinuxExtensionItem.h"
#include "lumo/platform/LinuxItemProvider.h"

namespace lumo {
namespace {

using namespace extension_testing;
using namespace std::chrono_literals;

double secondsSince2001() {
  return UniqueNamesGenerator::secondsSinceReferenceDate(std::chrono::system_clock::now());
}

class RecordingView : public ShareView {
 public:
  void shareItemsDidLoad() override {
    itemsWhenTold = model->shareItemsCount();
    events.push_back(DispatchQueue::isMainThread() ? "told on main" : "told elsewhere");
  }
  ShareViewModel* model = nullptr;
  std::int64_t itemsWhenTold = -1;
  Lines events;  // read on the main queue only
};

std::shared_ptr<LinuxExtensionContext> contextOf(const std::vector<ProviderList>& items) {
  std::vector<std::shared_ptr<ExtensionItem>> list;
  for (const auto& providers : items)
    list.push_back(std::make_shared<LinuxExtensionItem>(providers));
  return std::make_shared<LinuxExtensionContext>(list);
}

// Every test runs in a home of its own: the caches folder is the extension's own in
// $XDG_CACHE_HOME, the application group's container lives in $XDG_DATA_HOME.
class ShareViewModelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME"}) {
      ::setenv(name, (root_ / name).c_str(), 1);
    }
    fs::create_directories(container());
    view_->model = model_.get();
  }
  fs::path in(const std::string& name) const { return root_ / "in" / name; }
  fs::path caches() const { return root_ / "XDG_CACHE_HOME/lumo/ShareExtension"; }
  fs::path container() const {
    return root_ / "XDG_DATA_HOME" / FileStorage::defaultSharedAppGroup();
  }
  fs::path library() const { return container() / "Library/Caches"; }
  std::shared_ptr<ItemProvider> file(const std::string& name, const std::string& bytes = "x") {
    writeFile(in(name), bytes);
    return LinuxItemProvider::forFilePath(in(name));
  }

  // Runs the intake to its completion (or, with a null context, the confirmation); gives the
  // lines written.
  Lines run(const std::shared_ptr<ExtensionContext>& context, bool confirm = false) {
    ::testing::internal::CaptureStdout();
    auto done = std::make_shared<std::atomic<bool>>(confirm);
    if (confirm) model_->handleSharePressed(context);
    if (!confirm)
      model_->handleBeginRequest(
          context, [view = view_, done] { *done = true, view->events.push_back("done"); });
    EXPECT_TRUE(MainQueue::runUntil([&] { return done->load(); }, 30s));
    std::istringstream out(::testing::internal::GetCapturedStdout());
    Lines lines;
    for (std::string line; std::getline(out, line);) lines.push_back(line);
    return lines;
  }
  Lines listed() const {
    Lines names;
    for (const auto& item : model_->shareItems()) {
      const Url& url = dynamic_cast<const ShareItemURL&>(*item).url;
      names.push_back(url.filePath().parent_path() == caches() ? url.lastPathComponent()
                                                               : url.absoluteString());
    }
    return names;
  }

  TempDir root_;
  std::shared_ptr<RecordingView> view_ = std::make_shared<RecordingView>();
  std::shared_ptr<ShareViewModel> model_ = std::make_shared<ShareViewModel>(view_);
};

// One intake of every kind of item another application may hand over, then the confirmation.
TEST_F(ShareViewModelTest, IntakeTakesInWhatItCanAndConfirmCopiesItToSharedStorage) {
  const std::string longest = std::string(251, 'a') + ".png";  // 255 bytes
  // A multi-byte character straddles the place where the shared name must be cut.
  const std::string accented = std::string(218, 'b') + "\u00e9" + std::string(30, 'd') + ".png";
  writeFile(caches() / "inplace.png", "in place");         // listed where it is
  writeFile(root_ / "XDG_CACHE_HOME/index.db", "theirs");  // another application's
  writeFile(caches() / "shared.png/keep", "kept");         // a folder the intake never made
  writeFile(root_ / "escape.png", "outside");
  writeFile(in("dir/real.png"), "real");  // a link is taken in as the file it points to
  fs::create_symlink(in("dir/real.png"), in("link.png"));
  const std::string inURL = Url::fileURL(in("")).absoluteString(), inPath = in("").native();
  auto other = [](Lines types, Result<ItemProvider::Item> answer, auto... mode) {  // of another app
    return std::make_shared<Provider>(std::move(types), std::move(answer), mode...);
  };
  auto text = other({"public.plain-text"}, urlData("hello"));
  auto broken = other({"public.image"}, Error::transport("Test", 3, "The item is gone"));
  const std::string copy = "Share extension: Cannot copy \u201c",
                    bad = "\u201d cannot be used as a file name";
  // Each item handed over, the line the intake writes of it, the name it is taken in under.
  // clang-format off
  const std::vector<std::tuple<std::shared_ptr<ItemProvider>, std::string, std::string>> rows = {
      {file("photo.png", "png"), "", "photo.png"}, {text, "", ""},
      {LinuxItemProvider::forURI("https://example.com/p.html"), "", ""}, {file("clip.mp4"), "", "clip.mp4"},
      {broken, "The item is gone", ""},
      {other({"public.movie"}, ItemProvider::Item{std::string("file:///x")}), "Can't cast item to Data", ""},
      {other({"public.file-url"}, urlData(std::string("file:///a\0b", 11))), "Can't cast item's data to URL", ""},
      {other({"public.image"}, urlData(""), Provider::drops), "", ""},
      {LinuxItemProvider::forFilePath(caches() / "inplace.png"), "", "inplace.png"},
      {file("index.db", "mine"), "", "index.db"},
      {file("shared.png"), copy + fs::canonical(in("shared.png")).native() + "\u201d to \u201c" +
                               (caches() / "shared.png").native() + "\u201d: File exists", ""},
      {file("../b/photo.png", "second"), "", "photo.png"}, {LinuxItemProvider::forFilePath(in("link.png")), "", "link.png"},
      {file("line\nbreak.png"), "", "line\nbreak.png"}, {file("caf\xe9.png", "latin1"), "", "caf\xe9.png"},
      {file("del\x7f.png"), "", "del\x7f.png"}, {file("ext.p\rg"), "", "ext.p\rg"}, {file(longest), "", longest},
      {file(accented, "accented"), "", accented},
      {LinuxItemProvider::forFilePath(in("evil\nShare extension: x")),
       "Cannot share \u201c" + inPath + "evil\\nShare extension: x\u201d: No such file or directory", ""},
      {other({"public.file-url"}, urlData(inURL + "..%2Fescape.png")), copy + inPath + "../escape.png\u201d: \u201c../escape.png" + bad, ""},
      {other({"public.file-url"}, urlData(inURL + "dir/..")), copy + inPath + "dir/..\u201d: \u201c.." + bad, ""},
      {other({"public.file-url"}, urlData(inURL + "dir")), copy + inPath + "dir\u201d: Is a directory", ""},
      {other({"public.file-url"}, urlData("https://example.com/x.png")),
       "Share extension: \u201chttps://example.com/x.png\u201d is not a local file", ""},
      {other({"public.file-url"}, urlData(inURL + "a%00b")), "Share extension: \u201c" + inURL + "a%00b\u201d holds a NUL byte", ""}};
  // clang-format on
  ProviderList providers;
  Lines lines, taken;
  for (auto& [provider, line, name] : rows) {
    providers.push_back(provider);
    if (!line.empty()) lines.push_back(line);
    if (!name.empty()) taken.push_back(name);
  }
  auto context = contextOf({providers, {file("second.png")}});
  EXPECT_EQ(run(context), lines);
  EXPECT_EQ(listed(), taken);
  EXPECT_EQ(Provider::overlaps, 0);  // one load at a time, each after the last one's outcome
  EXPECT_EQ(text->requested.size() + broken->requested.size(), 1u);
  EXPECT_EQ(broken->requested, Lines{"public.url"});  // whatever kind it matched
  EXPECT_EQ(view_->events, (Lines{"told on main", "done"}));
  EXPECT_EQ(view_->itemsWhenTold, std::ssize(taken));
  EXPECT_EQ(readFile(caches() / "inplace.png") + readFile(root_ / "XDG_CACHE_HOME/index.db") +
                readFile(caches() / "index.db") + readFile(caches() / "shared.png/keep"),
            "in placetheirsminekept");
  // The earlier copy of a name is replaced; a link is copied as the file it points to.
  EXPECT_EQ(readFile(caches() / "photo.png") + readFile(in("photo.png")) +
                readFile(caches() / "link.png"),
            "secondpngreal");
  EXPECT_FALSE(fs::is_symlink(caches() / "link.png"));
  EXPECT_EQ(namesIn(root_.path),
            (Lines{"XDG_CACHE_HOME", "XDG_DATA_HOME", "b", "escape.png", "in"}));
  EXPECT_FALSE(context->ending());  // the request goes on until the user decides

  const double before = secondsSince2001();
  const Lines copies = run(context, true);
  const double after = secondsSince2001();
  Lines names;  // without the seconds
  for (const auto& name : namesIn(library())) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(name, m, std::regex("(.*)_([0-9]+\\.[0-9]+)(\\..*)"))) << name;
    EXPECT_TRUE(std::stod(m[2]) >= before - 1e-3 && std::stod(m[2]) <= after + 1e-3) << name;
    EXPECT_LE(name.size(), 255u);
    names.push_back(m[1].str() + m[3].str());
    EXPECT_EQ(std::count(copies.begin(), copies.end(),
                         "Try to copy to " + Url::fileURL(library() / name).absoluteString()),
              1);
  }
  EXPECT_EQ(copies.size(), taken.size());
  std::sort(names.begin(), names.end());
  // The base gives way to the time and the extension; the cut never splits the "é".
  EXPECT_EQ(names, (Lines{std::string(219, 'a') + ".png", std::string(218, 'b') + ".png",
                          "caf_.png", "clip.mp4", "del_.png", "ext.p_g", "index.db", "inplace.png",
                          "line_break.png", "link.png", "photo.png", "photo.png"}));
  EXPECT_EQ(readFile(library() / namesIn(library())[1]), "accented");
  ASSERT_TRUE(context->ending());
  EXPECT_FALSE(context->ending()->cancelled);
  EXPECT_EQ(context->ending()->returnedItems + context->endingsCount(), 1u);
  EXPECT_EQ(namesIn(caches()).size(), taken.size());  // the caches copies stay
}

TEST_F(ShareViewModelTest, RequestsWithoutItemsOrAttachmentsCompleteAtOnce) {
  for (const auto& [context, line] :
       std::vector<std::pair<std::shared_ptr<LinuxExtensionContext>, std::string>>{
           {contextOf({}), "Input items are not found"},
           {std::make_shared<LinuxExtensionContext>(
                std::vector<std::shared_ptr<ExtensionItem>>{nullptr}),
            "Input items are not found"},
           {contextOf({{}}), "Item providers are not found"}}) {
    ::testing::internal::CaptureStdout();
    model_->handleBeginRequest(context, [this] { view_->events.push_back("done"); });
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Share extension: " + line + "\n");
    ASSERT_TRUE(context->ending());
    EXPECT_FALSE(context->ending()->cancelled);
    EXPECT_EQ(context->ending()->returnedItems + context->endingsCount(), 1u);
  }
  MainQueue::drain();
  EXPECT_TRUE(view_->events.empty());
}

TEST_F(ShareViewModelTest, CachesFolderThatCannotBeMadeIsReported) {
  writeFile(root_ / "blocker", "a file where a folder should be");
  ::setenv("XDG_CACHE_HOME", (root_ / "blocker/cache").c_str(), 1);
  EXPECT_EQ(run(contextOf({{file("photo.png")}})),
            Lines{"Share extension: Can't get local storage URL"});
  EXPECT_EQ(model_->shareItemsCount(), 0);
}

TEST_F(ShareViewModelTest, ModelGoneDuringTheIntakeTellsNoViewButCompletes) {
  auto held = std::make_shared<Provider>(Lines{"public.image"}, urlData(""), Provider::holds);
  auto done = std::make_shared<std::atomic<bool>>(false);
  model_->handleBeginRequest(contextOf({{held}}), [done] { *done = true; });
  ASSERT_TRUE(MainQueue::runUntil([&] { return held->isHeld.load(); }, 30s));
  model_.reset();
  held->answer(urlData(Url::fileURL(in("a.png")).absoluteString()));
  EXPECT_TRUE(MainQueue::runUntil([&] { return done->load(); }, 30s));
  EXPECT_TRUE(view_->events.empty());
}

TEST_F(ShareViewModelTest, ConfirmThatCannotCopyCancelsOnceAndCopiesNothing) {
  for (const std::string how : {"no item", "no shared storage", "copy fails", "no context"}) {
    SCOPED_TRACE(how);
    auto context = contextOf({{file("a.png"), file("b.png")}});
    model_ = std::make_shared<ShareViewModel>(view_);
    view_->model = model_.get();
    if (how != "no item") run(context);
    if (how == "no shared storage") fs::remove_all(container());
    if (how == "copy fails") fs::remove(caches() / "a.png");
    const Lines lines = run(how == "no context" ? nullptr : context, true);
    EXPECT_TRUE(namesIn(library()).empty());
    fs::create_directories(container());
    const auto ending = context->ending();
    EXPECT_EQ(context->endingsCount(), how == "no context" ? 0 : 1);
    if (how == "no context") continue;
    ASSERT_TRUE(ending && ending->cancelled && ending->error);
    const std::string error = ending->error->localizedDescription();
    if (how != "copy fails") {
      EXPECT_EQ(lines, Lines{});
      EXPECT_EQ(error, how == "no item" ? "Item's URL is absent" : "Can't get shared storage URL");
      continue;
    }
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(
        lines[0].starts_with("Try to copy to " + Url::fileURL(library() / "a_").absoluteString()));
    EXPECT_EQ(lines[1], "Error = " + error);
    EXPECT_NE(error.find("No such file or directory"), std::string::npos) << error;
  }
}

}  // namespace
}  // namespace lumo
