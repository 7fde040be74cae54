#include <gtest/gtest.h>

#include <future>
#include <optional>
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
std::string load(ItemProvider& provider, std::string_view type) {
  std::promise<std::string> promise;
  provider.loadItem(type, [&promise](const Result<ItemProvider::Item>& item) {
    const auto* data = item ? std::any_cast<ItemProvider::Data>(&item->value) : nullptr;
    promise.set_value(!item ? "error: " + item.error().localizedDescription()
                            : std::string(data->begin(), data->end()));
  });
  auto future = promise.get_future();
  EXPECT_EQ(future.wait_for(30s), std::future_status::ready);
  return future.get();
}

// Given a URI (or a path), the provider's file path, the types it conforms to among Image,
// Movie, File URL and URL, and the outcome of loading it: the URL's text when `why` is empty,
// else an error that names the file (with a path) or the URI.
struct Row {
  std::string given;
  std::optional<fs::path> path;
  std::string types, why;
};

void expectProviders(const LinuxExtensionContext& context, const std::vector<Row>& rows) {
  const auto providers = context.inputItems().at(0)->attachments();
  ASSERT_EQ(providers.size(), rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    SCOPED_TRACE(row.given);
    EXPECT_EQ(std::dynamic_pointer_cast<LinuxItemProvider>(providers[i])->filePath(), row.path);
    std::string types;
    for (auto type : {kUTTypeImage, kUTTypeMovie, kUTTypeFileURL, kUTTypeURL,
                      std::string_view("public.plain-text")}) {
      if (providers[i]->hasItemConformingToTypeIdentifier(type)) types += type[7];
    }
    EXPECT_EQ(types, row.types);
    EXPECT_EQ(load(*providers[i], kUTTypeURL),
              row.why.empty() ? row.path ? Url::fileURL(*row.path).absoluteString() : row.given
              : row.path ? "error: Cannot share \u201c" + row.path->native() + "\u201d: " + row.why
                         : "error: \u201c" + row.given + "\u201d " + row.why);
  }
}

class LinuxExtensionContextTest : public ::testing::Test {
 protected:
  TempDir dir_;
  const MimeTypes types_ = [this] {
    writeFile(dir_ / "globs2", "50:image/x-pic:*.pic\n50:video/x-flick:*.flick\n");
    return MimeTypes(MimeTypes::Sources{dir_ / "globs2", dir_ / "none"});
  }();
};

// One provider per URI, in order; URIs that name no local file fail only when loaded.
TEST_F(LinuxExtensionContextTest, URIList) {
  const std::string gone = "No such file or directory", escape = "it has a broken percent-escape";
  const std::vector<Row> rows = {
      {"file:///tmp/a%20b.pic", "/tmp/a b.pic", "ifu", gone},
      {"  file://LOCALHOST/tmp/c.FLICK  ", "/tmp/c.FLICK", "mfu", gone},
      {"file:/tmp/notes.txt", "/tmp/notes.txt", "fu", gone},
      {"FILE:///tmp/caf%E9%0a.pic", "/tmp/caf\xe9\n.pic", "ifu", gone},
      {"https://example.com/e.pic", std::nullopt, "u", ""},
      {"file:///tmp/bad%zz.pic", std::nullopt, "fu", "is not a valid file URI: " + escape},
      {"file:///tmp/cut%4", std::nullopt, "fu", "is not a valid file URI: " + escape},
      {"file:///tmp/x%00y.pic", std::nullopt, "fu", "names no file: its path holds a NUL byte"},
      {"file://server/x.pic", std::nullopt, "fu", "names a file on another computer (server)"},
      {"file:///x#2", std::nullopt, "fu", "is not a valid file URI: it has a query or a fragment"},
      {"file:relative.pic", std::nullopt, "fu", "is not a valid file URI"},
      {"file://", std::nullopt, "fu", "names no file"},
      {"/tmp/raw.pic", std::nullopt, "fu", "is not a URI"},
  };
  std::string list = "# dropped from the file manager\r\n\r\n";
  for (const auto& row : rows) list += row.given + (row.path ? "\r\n" : "\n");
  expectProviders(*LinuxExtensionContext::withURIList(list, types_), rows);
}

TEST_F(LinuxExtensionContextTest, FilePaths) {
  writeFile(dir_ / "in/a b.pic", "pic");
  writeFile(dir_ / "in/folder/x", "x");
  const std::vector<Row> rows = {
      {dir_ / "in/a b.pic", dir_ / "in/a b.pic", "ifu", ""},
      {dir_ / "in/folder", dir_ / "in/folder", "fu", "Is a directory"},
      {dir_ / "in/gone.pic", dir_ / "in/gone.pic", "ifu", "No such file or directory"},
      {"rel/x", fs::current_path() / "rel/x", "fu", "No such file or directory"},
      {dir_ / std::string(252, 'z').append(".pic"), dir_ / std::string(252, 'z').append(".pic"),
       "ifu", "File name too long"},
  };
  std::vector<fs::path> paths = {""};
  for (const auto& row : rows) paths.push_back(row.given);
  auto context = LinuxExtensionContext::withFilePaths(paths, types_);
  auto providers = context->inputItems().at(0)->attachments();
  EXPECT_EQ(load(*providers[0], kUTTypeURL), "error: An empty path names no file");
  context = std::make_shared<LinuxExtensionContext>(std::vector<std::shared_ptr<ExtensionItem>>{
      std::make_shared<LinuxExtensionItem>(ProviderList(providers.begin() + 1, providers.end()))});
  expectProviders(*context, rows);
  const std::string url = load(*providers[1], kUTTypeImage);
  EXPECT_TRUE(url.ends_with("/in/a%20b.pic")) << url;
  EXPECT_TRUE(load(*providers[1], kUTTypeMovie).starts_with("error: "));  // not of that type
}

TEST_F(LinuxExtensionContextTest, RequestEndsOnceAndTellsTheHost) {
  auto context = LinuxExtensionContext::withFilePaths({dir_ / "x.pic"}, types_);
  std::vector<bool> cancellations;
  context->setEndingHandler([&](const auto& ending) { cancellations.push_back(ending.cancelled); });
  EXPECT_FALSE(context->ending());
  context->cancelRequest(ShareExtensionError::cantGetSharedStorage);
  int handlerCalls = 0;
  context->completeRequest({}, [&](bool) { ++handlerCalls; });  // too late: ignored, counted
  ASSERT_TRUE(context->ending() && context->ending()->cancelled);
  EXPECT_EQ(context->ending()->error->localizedDescription(), "Can't get shared storage URL");
  EXPECT_EQ(context->endingsCount(), 2);
  EXPECT_EQ(cancellations, std::vector<bool>{true});
  EXPECT_EQ(handlerCalls, 0);

  std::optional<bool> expired;
  context = LinuxExtensionContext::withFilePaths({}, types_);
  context->completeRequest({std::make_shared<LinuxExtensionItem>(ProviderList{})},
                           [&](bool e) { expired = e; });
  EXPECT_EQ(expired, false);
  EXPECT_EQ(context->ending()->returnedItems, 1u);
  EXPECT_FALSE(context->ending()->cancelled);
}

}  // namespace
}  // namespace lumo
