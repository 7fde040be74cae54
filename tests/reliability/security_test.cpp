// Hostile input against the reference service (`eval "$(scripts/devstack start)"`): capture names
// built to break a request or leave their folder, where the token travels through a share
// cycle, states files built to hurt. The small shapes of names and bodies are the fuzz targets'
// and the stores' own tests'.

#include <gtest/gtest.h>

#include <sstream>

#include "ShareTestHost.h"
#include "lumo/capture/OtherItem.h"
#include "lumo/capture/ScreenCaptureUrl.h"
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
    waitUntil([&] { return host_.observer->finalCount(path) > before; }, 120s);
    const auto states = host_.observer->states(path);
    return states.empty() ? ShareState::unknown : states.back();
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
  std::vector<std::string> failed;  // checked once the output is taken: it would swallow failures
  auto step = [&](bool ok, const std::string& what) { ok ? void() : failed.push_back(what); };
  ::testing::internal::CaptureStdout();
  for (const auto& [name, other, uploads] : rows) {
    const Bytes bytes = randomBytes(2048);
    if (name.size() <= 255 && name != "sub/..") writeBytes(docs_ / name, bytes);
    const Url url = Url::fileURL(docs_ / name);
    const std::size_t posts = dev_->requests("/storage").size();
    step((other ? share(OtherItem(url)) : share(Screenshot(url))) ==
                 (uploads ? ShareState::uploaded : ShareState::error) &&
             dev_->requests("/storage").size() == posts + uploads &&
             (!uploads ||
              dev_->call("GET", urls->generateShareURL(Screenshot(url))->absoluteString()).body ==
                  bytes),
         name);
  }
  const Screenshot cycle(Url::fileURL(docs_ / std::get<0>(rows[0])));
  host_.manager->checkScreenCaptureRemoteState(cycle);
  step(waitUntil([&] {
         return host_.observer->states(relativeScreenCapturePath(cycle.fileURL())).size() == 3;
       }),
       "check");
  dev_->fault({{"route", "upload/delete"}, {"status", 500}, {"body_kind", "html"}});
  host_.manager->deleteScreenCapture(cycle);
  step(waitUntil([&] { return !host_.log->linesStartingWith("Delete task e").empty(); }), "delete");
  // A post cut on a reused connection is sent again on another.
  for (const json& fault : {json{{"route", "upload/start"}, {"status", 403}, {"body_kind", "json"}},
                            json{{"route", "storage"}, {"drop_after_bytes", 100}, {"count", 10}}}) {
    writeBytes(docs_ / "refused.png", randomBytes(3000));
    dev_->fault(fault);
    step(share(Screenshot(Url::fileURL(docs_ / "refused.png"))) == ShareState::error, fault.dump());
  }
  std::string output = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(failed, std::vector<std::string>{}) << output;
  EXPECT_NE(output.find("Error multipart upload = "), std::string::npos) << output;
  for (const auto& line : host_.log->lines()) output += line;
  EXPECT_EQ(output.find(dev_->token), std::string::npos) << output;
  std::set<std::string> seen;
  for (json r : dev_->requests()) {
    const std::string path = r["path"], where = path.substr(1, path.find('/', 1) - 1);
    const Bytes body = test::decodeBase64(r.value("body_b64", ""));
    EXPECT_EQ(r["headers"].value("authorization", ""),
              where == "api" ? "ApiKey " + dev_->token : "")
        << path;
    r["headers"].erase("authorization"), r.erase("body_b64"), seen.insert(where);
    EXPECT_EQ((r.dump() + std::string(body.begin(), body.end())).find(dev_->token),
              std::string::npos)
        << path;
  }
  EXPECT_EQ(seen, (std::set<std::string>{"api", "cdn", "storage"}));
}

// Large hostile states files (the small shapes are the store's own tests), timed, never asserted.
TEST_F(SecurityTest, HostileStatesFilesLoadOrAreReplaced) {
  auto entries = [](std::size_t size) {
    std::string text = R"([{"id":"/c0.png","state":"uploaded"})";
    for (int i = 1; text.size() + 64 < size; ++i)
      text += R"(,{"id":"/c)" + std::to_string(i) + R"(.png","state":"error"})";
    return text;
  };
  const std::string deep = std::string(100'000, '[') + std::string(100'000, ']');
  const std::vector<std::tuple<const char*, std::string, bool>> rows = {
      // label, text, loads
      {"16 MiB of entries", entries(16 << 20) + "]", true},
      {"100k '[' in a member", R"([{"id":"/c0.png","state":"uploaded","x":)" + deep + "}]", false},
      {"truncated after 15 MiB", entries(15 << 20), false}};
  const fs::path file = prepareProcess() / "data/lumo" / ShareStatesManager::kStatesFileName;
  std::ostringstream report;
  report << "States files, " LUMO_BUILD_TYPE " build: reading one against loading it.\n\n"
         << "| file | bytes | read (ms) | load (ms) | outcome |\n|---|---|---|---|---|\n";
  for (const auto& [label, text, loads] : rows) {
    SCOPED_TRACE(label);
    writeBytes(file, Bytes(text.begin(), text.end()));
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const Bytes read = readBytes(file);
    const std::chrono::duration<double, std::milli> reading = Clock::now() - start;
    ::testing::internal::CaptureStdout();
    const auto store = std::make_shared<ShareStatesManager>();
    const std::chrono::duration<double, std::milli> loading = Clock::now() - start - reading;
    ::testing::internal::GetCapturedStdout();
    // A valid file is taken and left as it is; any other is replaced.
    EXPECT_EQ(store->getState(Screenshot(Url::fileURL(docs_ / "c0.png"))),
              loads ? ShareState::uploaded : ShareState::unknown);
    EXPECT_TRUE(readBytes(file) == (loads ? read : Bytes{'[', ']'}));
    report << "| " << label << " | " << text.size() << " | " << reading.count() << " | "
           << loading.count() << " | " << (loads ? "loaded" : "replaced by []") << " |\n";
  }
  if (const char* folder = std::getenv("LUMO_RELIABILITY_REPORT")) {
    std::ofstream(fs::path(folder) / "hostile-input.md") << report.str();
  }
}

}  // namespace
}  // namespace lumo::sharetest
