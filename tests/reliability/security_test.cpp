// Hostile input against the reference service (`eval "$(scripts/devstack start)"`): where the
// token travels, capture names built to break a request or leave their folder, states files
// built to hurt. The extension's own names are its suite's; the shapes of names and bodies the
// fuzz targets try.

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <tuple>

#include "DevService.h"
#include "ReliabilityReport.h"
#include "ShareTestHost.h"
#include "lumo/capture/OtherItem.h"
#include "lumo/capture/ScreenCaptureUrl.h"
#include "lumo/capture/Screenshot.h"
#include "lumo/registry/Resolver.h"
#include "lumo/sharing/ShareURLHelperService.h"
#include "lumo/storage/TempFilesManager.h"

namespace lumo::sharetest {
namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;

class SecurityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string whyNot;
    ASSERT_TRUE(dev_ = test::DevService::get(&whyNot)) << whyNot;
    host_ = installHost({}, dev_->token);
    docs_ = makeDocumentsFolder();
    dev_->reset();
    dev_->captureStorageBodies(true);
  }
  void TearDown() override {
    if (dev_) settle(host_), dev_->reset();
  }
  // Waits for the `count`th state of `capture` and gives it.
  ShareState state(const ScreenCapture& capture, std::size_t count) const {
    const std::string path = relativeScreenCapturePath(capture.fileURL());
    waitUntil([&] { return host_.observer->states(path).size() >= count; }, 120s);
    const auto states = host_.observer->states(path);
    return states.size() >= count ? states[count - 1] : ShareState::unknown;
  }
  // Shares and gives the outcome: an upload reports "uploading" first, a refusal its error alone.
  ShareState share(const ScreenCapture& capture) const {
    const auto before = host_.observer->states(relativeScreenCapturePath(capture.fileURL())).size();
    host_.manager->share(capture);
    const ShareState first = state(capture, before + 1);
    return first == ShareState::uploading ? state(capture, before + 2) : first;
  }

  const test::DevService* dev_ = nullptr;
  Host host_;
  fs::path docs_;
};

TEST_F(SecurityTest, TokenGoesOnlyToTheAPIAndIntoNoLogLine) {
  for (const char* name : {"cycle.png", "refused.png", "dropped.png"}) {
    writeBytes(docs_ / name, randomBytes(3000));
  }
  const Screenshot shot(Url::fileURL(docs_ / "cycle.png"));
  ::testing::internal::CaptureStdout();
  // Each step's outcome is checked once the output is taken: a failure inside would be lost.
  std::vector<bool> steps = {share(shot) == ShareState::uploaded};
  steps.push_back(waitUntil([&] { return !dev_->requests("/api/v1/upload/complete/").empty(); }));
  host_.manager->checkScreenCaptureRemoteState(shot);
  steps.push_back(state(shot, 3) == ShareState::uploaded);
  dev_->fault({{"route", "upload/delete"}, {"status", 500}, {"body_kind", "html"}});
  host_.manager->deleteScreenCapture(shot);
  steps.push_back(
      waitUntil([&] { return !host_.log->linesStartingWith("Delete task error").empty(); }));
  host_.manager->deleteScreenCapture(shot);
  steps.push_back(state(shot, 4) == ShareState::notUploaded);
  host_.manager->checkScreenCaptureRemoteState(shot);
  steps.push_back(state(shot, 5) == ShareState::notUploaded);
  // Failures write what they met; a post cut on a reused connection is sent again on another.
  dev_->fault({{"route", "upload/start"}, {"status", 403}, {"body_kind", "json"}});
  steps.push_back(share(Screenshot(Url::fileURL(docs_ / "refused.png"))) == ShareState::error);
  dev_->fault({{"route", "storage"}, {"drop_after_bytes", 100}, {"count", 10}});
  steps.push_back(share(Screenshot(Url::fileURL(docs_ / "dropped.png"))) == ShareState::error);
  const std::string output = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(steps, std::vector<bool>(8, true)) << output;
  EXPECT_NE(output.find("Error multipart upload = "), std::string::npos) << output;
  EXPECT_EQ(output.find(dev_->token), std::string::npos) << output;
  for (const auto& line : host_.log->lines()) EXPECT_EQ(line.find(dev_->token), std::string::npos);
  std::map<std::string, int> seen;
  for (const json& r : dev_->requests()) {
    const std::string path = r["path"], where = path.substr(1, path.find('/', 1) - 1);
    ++seen[where];
    EXPECT_EQ(r["headers"].value("authorization", ""),
              where == "api" ? "ApiKey " + dev_->token : "")
        << path;
    EXPECT_EQ((r["headers"].dump() + r.value("query", "")).find(dev_->token) == std::string::npos,
              where != "api")
        << path;
    const Bytes body = test::decodeBase64(r.value("body_b64", ""));
    EXPECT_EQ(std::string(body.begin(), body.end()).find(dev_->token), std::string::npos) << path;
  }
  // start, complete, two deletes, two more starts; two posts (the cut one may be retried); two
  // checks.
  EXPECT_GE(seen["api"], 6);
  EXPECT_GE(seen["storage"], 2);
  EXPECT_EQ(seen["cdn"], 2);
  EXPECT_EQ(seen.size(), 3u);
}

// The remote name is digest + extension, but the extension and the local path come from the
// name: what uploads comes back byte for byte under its link; what cannot fails and posts nothing.
TEST_F(SecurityTest, HostileCaptureNamesUploadIntactOrFailWithAnError) {
  // clang-format off
  const std::vector<std::tuple<std::string, bool, bool>> rows = {  // name, as an OtherItem, uploads
      {"say \"cheese\".png", false, true}, {"a\r\nX-Forged: 1\r\n\r\nx.png", false, true},
      {"caf\xe9 \xff.png", false, true}, {std::string(251, 'n') + ".png", false, true},
      {"x.p\"ng", true, true}, {"x.png\r\nX-Evil: 1", true, false}, {"x.p\xffg", true, false},
      {std::string(300, 'l') + ".png", false, false}, {"sub/..", false, false}};
  // clang-format on
  auto urls = Resolver::resolveFromRoot<ShareURLHelperService>();
  fs::create_directories(docs_ / "sub");
  for (const auto& [name, other, uploads] : rows) {
    SCOPED_TRACE(name);
    dev_->reset();
    const Bytes bytes = randomBytes(2048);
    if (name.size() <= 255 && name != "sub/..") writeBytes(docs_ / name, bytes);
    const Url url = Url::fileURL(docs_ / name);
    EXPECT_EQ(other ? share(OtherItem(url)) : share(Screenshot(url)),
              uploads ? ShareState::uploaded : ShareState::error);
    EXPECT_EQ(dev_->requests("/storage").size(), uploads ? 1u : 0u);
    const auto link = urls->generateShareURL(Screenshot(url));
    EXPECT_TRUE(!uploads || dev_->call("GET", link->absoluteString()).body == bytes);
  }
}

TEST_F(SecurityTest, TemporaryNamesStayInsideTheTemporaryFolder) {
  TempFilesManager temp;
  const fs::path folder = temp.temporaryFolderURL().filePath();
  // clang-format off
  for (const auto& [given, expected] : std::vector<std::pair<std::string, std::string>>{
           {"a \"b\"\r\n\xe9.txt", "a \"b\"\r\n\xe9.txt"}, {"../../escape.png", "escape.png"},
           {"..", "_"}, {"", "_"}, {"dir/", "_"}, {std::string("../x\0y", 6), "x_y"},
           {std::string(300, 'L'), std::string(255, 'L')}}) {
    // clang-format on
    EXPECT_EQ(temp.temporaryURLFileName(given).filePath(), folder / expected) << given;
  }
  const fs::path unique = temp.temporaryURLWith("/../../x").filePath();
  EXPECT_TRUE(unique.parent_path() == folder && unique.filename().native().size() == 45u) << unique;
  // Moving "sub/.." would move the folder above: refused. Cleaning removes a link that points
  // outside, never what it points to.
  writeBytes(docs_ / "stay.png", {1});
  fs::create_directories(docs_ / "sub");
  EXPECT_FALSE(temp.moveToTemporaryFolder(Url::fileURL(docs_ / "sub/..")));
  fs::create_directory_symlink(docs_, folder / "outside");
  temp.cleanTemporaryFolder();
  EXPECT_TRUE(fs::is_empty(folder) && fs::exists(docs_ / "stay.png"));
}

// Large hostile states files (the small shapes are the store's own tests), timed, never asserted.
TEST_F(SecurityTest, HostileStatesFilesLoadOrAreReplaced) {
  auto entries = [](std::size_t size, bool sameId) {
    std::string text = "[";
    for (int i = 0; text.size() + 64 < size; ++i) {
      text += std::string(i ? "," : "") + R"({"id":"/c)" + std::to_string(sameId ? 0 : i) +
              R"(.png","state":")" + (i ? "error" : "uploaded") + "\"}";
    }
    return text;
  };
  const std::string deep = std::string(100'000, '[') + std::string(100'000, ']');
  const std::vector<std::tuple<const char*, std::string, bool>> rows = {
      // label, text, loads
      {"16 MiB of entries", entries(16 << 20, false) + "]", true},
      {"one id in every entry (the first wins)", entries(16 << 20, true) + "]", true},
      {"100k '[' in a member", R"([{"id":"/c0.png","state":"uploaded","x":)" + deep + "}]", false},
      {"truncated after 15 MiB", entries(15 << 20, false), false}};
  const fs::path file = prepareProcess() / "data/lumo" / ShareStatesManager::kStatesFileName;
  std::ostringstream report;
  report << "States files, " LUMO_BUILD_TYPE
            " build: reading one against loading it.\n\n"
            "| file | bytes | read (ms) | load (ms) | outcome |\n|---|---|---|---|---|\n";
  for (const auto& [label, text, loads] : rows) {
    SCOPED_TRACE(label);
    writeBytes(file, Bytes(text.begin(), text.end()));
    const auto start = std::chrono::steady_clock::now();
    const Bytes read = readBytes(file);
    const auto readAt = std::chrono::steady_clock::now();
    ::testing::internal::CaptureStdout();
    const auto store = std::make_shared<ShareStatesManager>();
    const auto loadedAt = std::chrono::steady_clock::now();
    ::testing::internal::GetCapturedStdout();
    // A valid file is taken and left as it is; any other is replaced.
    EXPECT_EQ(store->getState(Screenshot(Url::fileURL(docs_ / "c0.png"))),
              loads ? ShareState::uploaded : ShareState::unknown);
    EXPECT_TRUE(readBytes(file) == (loads ? read : Bytes{'[', ']'}));
    const std::chrono::duration<double, std::milli> reading = readAt - start,
                                                    loading = loadedAt - readAt;
    report << "| " << label << " | " << text.size() << " | " << reading.count() << " | "
           << loading.count() << " | " << (loads ? "loaded" : "replaced by []") << " |\n";
  }
  lumo::testing::writeReportSection("hostile-input", report.str());
}

}  // namespace
}  // namespace lumo::sharetest
