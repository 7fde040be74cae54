#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "ExtensionTestSupport.h"
#include "lumo/extension/ShareExtensionError.h"
#include "lumo/platform/LinuxExtensionContext.h"
#include "lumo/platform/LinuxExtensionItem.h"
#include "lumo/platform/LinuxItemProvider.h"
#include "lumo/platform/Url.h"

namespace lumo {
namespace {

using namespace extension_testing;
using namespace std::chrono_literals;

// What a load handed over: the data's text, or the error's description.
struct Loaded {
  bool ok = false;
  std::string text;
};

Loaded load(ItemProvider& provider, std::string_view type) {
  std::promise<Loaded> promise;
  auto future = promise.get_future();
  provider.loadItem(type, [&promise](const Result<ItemProvider::Item>& item) {
    if (!item) {
      promise.set_value({false, item.error().localizedDescription()});
      return;
    }
    const auto* data = std::any_cast<ItemProvider::Data>(&item->value);
    promise.set_value({true, data ? std::string(data->begin(), data->end()) : "<not data>"});
  });
  EXPECT_EQ(future.wait_for(10s), std::future_status::ready);
  return future.get();
}

std::vector<std::shared_ptr<LinuxItemProvider>> providersOf(const LinuxExtensionContext& context) {
  std::vector<std::shared_ptr<LinuxItemProvider>> providers;
  for (const auto& provider : context.inputItems().at(0)->attachments()) {
    providers.push_back(std::dynamic_pointer_cast<LinuxItemProvider>(provider));
  }
  return providers;
}

// The types among image, movie, file URL and URL that `provider` conforms to.
std::string conformance(const ItemProvider& provider) {
  std::string types;
  for (auto type : {kUTTypeImage, kUTTypeMovie, kUTTypeFileURL, kUTTypeURL}) {
    if (provider.hasItemConformingToTypeIdentifier(type)) {
      types += (types.empty() ? "" : " ") + std::string(type);
    }
  }
  return types;
}

class LinuxExtensionContextTest : public ::testing::Test {
 protected:
  LinuxExtensionContextTest() {
    writeFile(dir_ / "globs2",
              "# test registry\n50:image/x-pic:*.pic\n50:video/x-flick:*.flick\n"
              "50:text/plain:*.txt\n");
    mimeTypes_ = std::make_unique<MimeTypes>(MimeTypes::Sources{dir_ / "globs2", dir_ / "none"});
  }

  TempDir dir_;
  std::unique_ptr<MimeTypes> mimeTypes_;
};

TEST_F(LinuxExtensionContextTest, URIListGivesOneProviderPerURI) {
  auto context = LinuxExtensionContext::withURIList(
      "# dropped from the file manager\r\n"
      "file:///tmp/a%20b.pic\r\n"
      "\r\n"
      "  file://LOCALHOST/tmp/c.FLICK  \r\n"
      "file:/tmp/notes.txt\r\n"
      "FILE:///tmp/caf%E9%0a.pic\n"
      "https://example.com/e.pic",
      *mimeTypes_);
  ASSERT_EQ(context->inputItems().size(), 1u);
  const auto providers = providersOf(*context);
  ASSERT_EQ(providers.size(), 5u);

  EXPECT_EQ(providers[0]->filePath(), fs::path("/tmp/a b.pic"));
  EXPECT_EQ(providers[1]->filePath(), fs::path("/tmp/c.FLICK"));
  EXPECT_EQ(providers[2]->filePath(), fs::path("/tmp/notes.txt"));
  EXPECT_EQ(providers[3]->filePath(), fs::path("/tmp/caf\xe9\n.pic"));  // byte for byte
  EXPECT_FALSE(providers[4]->filePath());

  EXPECT_EQ(providers[0]->mimeType(), "image/x-pic");
  EXPECT_EQ(conformance(*providers[0]), "public.image public.file-url public.url");
  EXPECT_EQ(conformance(*providers[1]), "public.movie public.file-url public.url");
  EXPECT_EQ(conformance(*providers[2]), "public.file-url public.url");
  EXPECT_EQ(conformance(*providers[3]), "public.image public.file-url public.url");
  EXPECT_EQ(conformance(*providers[4]), "public.url");
  EXPECT_FALSE(providers[0]->hasItemConformingToTypeIdentifier("public.plain-text"));

  EXPECT_EQ(load(*providers[4], kUTTypeURL).text, "https://example.com/e.pic");
}

TEST_F(LinuxExtensionContextTest, LoadingALocalFileGivesItsURLData) {
  writeFile(dir_ / "in" / "a b.pic", "pic");
  writeFile(dir_ / "in" / "folder" / "x", "x");
  auto context = LinuxExtensionContext::withFilePaths(
      {dir_ / "in" / "a b.pic", dir_ / "in" / "folder", dir_ / "in" / "gone.pic"}, *mimeTypes_);
  const auto providers = providersOf(*context);
  ASSERT_EQ(providers.size(), 3u);

  const Loaded file = load(*providers[0], kUTTypeURL);
  EXPECT_TRUE(file.ok);
  EXPECT_EQ(file.text, Url::fileURL(dir_ / "in" / "a b.pic").absoluteString());
  EXPECT_TRUE(file.text.ends_with("/in/a%20b.pic")) << file.text;
  EXPECT_EQ(load(*providers[0], kUTTypeImage).text, file.text);

  const std::string folder = (dir_ / "in" / "folder").native();
  EXPECT_EQ(load(*providers[1], kUTTypeURL).text,
            "Cannot share \u201c" + folder + "\u201d: Is a directory");
  EXPECT_EQ(load(*providers[2], kUTTypeURL).text, "Cannot share \u201c" +
                                                      (dir_ / "in" / "gone.pic").native() +
                                                      "\u201d: No such file or directory");
  EXPECT_FALSE(load(*providers[0], kUTTypeMovie).ok);  // a type it does not conform to
}

TEST_F(LinuxExtensionContextTest, RelativeAndEmptyPaths) {
  auto context = LinuxExtensionContext::withFilePaths({"rel/x.pic", ""}, *mimeTypes_);
  const auto providers = providersOf(*context);
  EXPECT_EQ(providers[0]->filePath(), fs::current_path() / "rel/x.pic");
  EXPECT_EQ(conformance(*providers[1]), "public.file-url public.url");
  EXPECT_EQ(load(*providers[1], kUTTypeURL).text, "An empty path names no file");
}

TEST_F(LinuxExtensionContextTest, URIsThatNameNoLocalFileFailWhenLoaded) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"file:///tmp/bad%zz.pic", "is not a valid file URI: it has a broken percent-escape"},
      {"file:///tmp/cut%4", "is not a valid file URI: it has a broken percent-escape"},
      {"file:///tmp/x%00y.pic", "names no file: its path holds a NUL byte"},
      {"file://server/share/x.pic", "names a file on another computer (server)"},
      {"file:///tmp/x.pic#page=2", "is not a valid file URI: it has a query or a fragment"},
      {"file:relative.pic", "is not a valid file URI"},
      {"file://", "names no file"},
      {"/tmp/raw/path.pic", "is not a URI"},
      {"not a uri", "is not a URI"},
  };
  std::string list;
  for (const auto& c : cases) list += c.first + "\n";
  auto context = LinuxExtensionContext::withURIList(list, *mimeTypes_);
  const auto providers = providersOf(*context);
  ASSERT_EQ(providers.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].first);
    EXPECT_FALSE(providers[i]->filePath());
    EXPECT_EQ(conformance(*providers[i]), "public.file-url public.url");
    const Loaded loaded = load(*providers[i], kUTTypeURL);
    EXPECT_FALSE(loaded.ok);
    EXPECT_EQ(loaded.text, "\u201c" + cases[i].first + "\u201d " + cases[i].second);
  }
}

TEST_F(LinuxExtensionContextTest, RequestEndsOnceAndTellsTheHost) {
  auto context = LinuxExtensionContext::withFilePaths({dir_ / "x.pic"}, *mimeTypes_);
  std::vector<bool> cancellations;
  context->setEndingHandler([&](const LinuxExtensionContext::Ending& ending) {
    cancellations.push_back(ending.cancelled);
  });
  EXPECT_FALSE(context->ending());
  EXPECT_EQ(context->endingsCount(), 0);

  context->cancelRequest(ShareExtensionError::cantGetSharedStorage);
  int handlerCalls = 0;
  context->completeRequest({}, [&](bool) { ++handlerCalls; });  // too late: ignored, counted

  auto ending = context->ending();
  ASSERT_TRUE(ending);
  EXPECT_TRUE(ending->cancelled);
  EXPECT_EQ(ending->error->localizedDescription(), "Can't get shared storage URL");
  EXPECT_EQ(context->endingsCount(), 2);
  EXPECT_EQ(cancellations, std::vector<bool>{true});
  EXPECT_EQ(handlerCalls, 0);

  auto completed = LinuxExtensionContext::withFilePaths({}, *mimeTypes_);
  std::optional<bool> expired;
  completed->completeRequest(
      {std::make_shared<LinuxExtensionItem>(std::vector<std::shared_ptr<ItemProvider>>{})},
      [&](bool e) { expired = e; });
  EXPECT_EQ(expired, false);
  EXPECT_EQ(completed->ending()->returnedItems, 1u);
  EXPECT_FALSE(completed->ending()->cancelled);
}

}  // namespace
}  // namespace lumo
