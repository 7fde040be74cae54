// Hostile input against the reference service (`eval "$(scripts/devstack start)"`): capture names
// built to break a request or leave their folder, where the token travels through a share
// cycle, states files built to hurt. The small shapes of names and bodies are the fuzz targets'
// and the stores' own tests'.

#include <gtest/gtest.h>

#include <sstream>

#include "ShareTestHost.h"
#include "lumo/capture/OtherItem.h"
#include "lumo/capture/Screenshot.h"
#include "lumo/sharing/ShareURLHelperService.h"

namespace lumo::sharetest {
namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;

class SecurityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string whyNot;
    ASSERT_TRUE(dev_ = DevService::get(&whyNot)) << whyNot;
    host_ = installHost({}, dev_->token);
    dev_->reset();
    dev_->captureStorageBodies(true);
  }
  void TearDown() override {
    if (dev_) settle(host_), dev_->reset();
  }
  // Shares and gives the outcome once final.
  ShareState share(const ScreenCapture& capture) const {
    const std::string path = relativeScreenCapturePath(capture.fileURL());
    const auto before = host_.observer->finalCount(path);
    host_.manager->share(capture);
    const bool ended = waitUntil([&] { return host_.observer->finalCount(path) > before; }, 120s);
    return ended ? host_.observer->states(path).back() : ShareState::unknown;
  }

  const DevService* dev_ = nullptr;
  Host host_;
  fs::path docs_ = makeDocumentsFolder();
};

// The remote name is digest + extension, but the extension and the local path come from the
// name: what uploads comes back byte for byte under its link; what cannot fails and posts
// nothing. The token goes in the API's authorization header and nowhere else: not in another
// request, nor in the output or a log line of a cycle whose failures write what they met.
TEST_F(SecurityTest, HostileNamesUploadIntactOrFailAndTheTokenStaysInTheAPIHeader) {
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
    const Bytes bytes = randomBytes(2048);
    if (name.size() <= 255 && name != "sub/..") writeBytes(docs_ / name, bytes);
    const Url url = Url::fileURL(docs_ / name);
    const std::size_t posts = dev_->requests("/storage").size();
    EXPECT_EQ(other ? share(OtherItem(url)) : share(Screenshot(url)),
              uploads ? ShareState::uploaded : ShareState::error);
    EXPECT_EQ(dev_->requests("/storage").size(), posts + uploads);
    const auto link = urls->generateShareURL(Screenshot(url));
    EXPECT_TRUE(!uploads || dev_->call("GET", link->absoluteString()).body == bytes);
  }
  const Screenshot cycle(Url::fileURL(docs_ / std::get<0>(rows[0])));
  ::testing::internal::CaptureStdout();  // checked once taken: it would swallow failures
  host_.manager->checkScreenCaptureRemoteState(cycle);
  dev_->fault({{"route", "upload/delete"}, {"status", 500}, {"body_kind", "html"}});
  host_.manager->deleteScreenCapture(cycle);
  std::vector<ShareState> refused;  // a post cut on a reused connection is sent again on another
  for (const json& fault : {json{{"route", "upload/start"}, {"status", 403}, {"body_kind", "json"}},
                            json{{"route", "storage"}, {"drop_after_bytes", 100}, {"count", 10}}}) {
    writeBytes(docs_ / "refused.png", randomBytes(3000));
    dev_->fault(fault);
    refused.push_back(share(Screenshot(Url::fileURL(docs_ / "refused.png"))));
  }
  const bool ended = waitUntil([&] {
    return host_.observer->states(relativeScreenCapturePath(cycle.fileURL())).size() == 3 &&
           !host_.log->linesStartingWith("Delete task error").empty();
  });
  std::string output = ::testing::internal::GetCapturedStdout();
  EXPECT_TRUE(ended && refused == std::vector(2, ShareState::error)) << output;
  EXPECT_NE(output.find("Error multipart upload = "), std::string::npos) << output;
  for (const auto& line : host_.log->lines()) output += line;
  EXPECT_EQ(output.find(dev_->token), std::string::npos) << output;
  std::set<std::string> seen;
  for (json r : dev_->requests()) {
    const std::string path = r["path"], where = path.substr(1, path.find('/', 1) - 1);
    const Bytes body = test::decodeBase64(r.value("body_b64", ""));
    if (where == "api") r["headers"].erase("authorization");  // the token's one place
    r.erase("body_b64"), seen.insert(where);
    const std::string sent = r.dump() + std::string(body.begin(), body.end());
    EXPECT_EQ(sent.find(dev_->token), std::string::npos) << path;
  }
  EXPECT_EQ(seen, (std::set<std::string>{"api", "cdn", "storage"}));
}

// Large hostile states files (the small shapes are the store's own tests), timed, never asserted.
TEST_F(SecurityTest, HostileStatesFilesLoadOrAreReplaced) {
  std::string entries = R"([{"id":"/c0.png","state":"uploaded"})";
  for (int i = 1; entries.size() < (16 << 20) - 64; ++i)
    entries += R"(,{"id":"/c)" + std::to_string(i) + R"(.png","state":"error"})";
  const std::string deep = std::string(100'000, '[') + std::string(100'000, ']');
  const std::tuple<const char*, std::string, bool> rows[] = {
      // label, text, loads
      {"16 MiB of entries", entries + "]", true},
      {"100k '[' in a member", R"([{"id":"/c0.png","state":"uploaded","x":)" + deep + "}]", false},
      {"the same, truncated", entries, false}};
  const fs::path file = prepareProcess() / "data/lumo" / ShareStatesManager::kStatesFileName;
  std::ostringstream report;
  report << "States files, " LUMO_BUILD_TYPE " build.\n\n"
         << "| file | bytes | load (ms) | outcome |\n|---|---|---|---|\n";
  for (const auto& [label, text, loads] : rows) {
    SCOPED_TRACE(label);
    writeBytes(file, Bytes(text.begin(), text.end()));
    const auto start = std::chrono::steady_clock::now();
    const auto store = std::make_shared<ShareStatesManager>();
    const std::chrono::duration<double, std::milli> load = std::chrono::steady_clock::now() - start;
    // A valid file is taken and left as it is; any other is replaced.
    EXPECT_EQ(store->getState(Screenshot(Url::fileURL(docs_ / "c0.png"))),
              loads ? ShareState::uploaded : ShareState::unknown);
    EXPECT_TRUE(readBytes(file) == (loads ? Bytes(text.begin(), text.end()) : Bytes{'[', ']'}));
    report << "| " << label << " | " << text.size() << " | " << load.count() << " | "
           << (loads ? "loaded" : "replaced by []") << " |\n";
  }
  if (const char* folder = std::getenv("LUMO_RELIABILITY_REPORT")) {
    std::ofstream(fs::path(folder) / "hostile-input.md") << report.str();
  }
}

}  // namespace
}  // namespace lumo::sharetest
