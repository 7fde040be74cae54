// Hostile input against the reference service (`eval "$(scripts/devstack start)"`): where the
// token travels, names built to break a request or leave their folder, states files built to hurt.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "ExtensionTestSupport.h"
#include "ReliabilityReport.h"
#include "ShareTestHost.h"
#include "lumo/capture/OtherItem.h"
#include "lumo/capture/ScreenCaptureUrl.h"
#include "lumo/capture/Screenshot.h"
#include "lumo/extension/ShareViewModel.h"
#include "lumo/platform/LinuxExtensionContext.h"
#include "lumo/registry/Resolver.h"
#include "lumo/sharing/ShareURLHelperService.h"
#include "lumo/storage/FileStorage.h"
#include "lumo/storage/TempFilesManager.h"
#include "lumo/tasks/MultipartFormData.h"

namespace lumo::sharetest {
namespace {

using namespace std::chrono_literals;
using extension_testing::CapturedStdout;
using extension_testing::namesIn;
using json = nlohmann::json;

std::string base64Decode(const std::string& text) {
  constexpr std::string_view kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned value = 0;
  int bits = 0;
  for (char c : text) {
    const auto digit = kAlphabet.find(c);
    if (digit == std::string_view::npos) continue;  // padding
    value = (value << 6) | static_cast<unsigned>(digit);
    if ((bits += 6) >= 8) out.push_back(static_cast<char>((value >> (bits -= 8)) & 0xff));
  }
  return out;
}

std::vector<std::string> split(const std::string& text, const std::string& separator) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  for (auto at = text.find(separator); at != std::string::npos; at = text.find(separator, start)) {
    pieces.push_back(text.substr(start, at - start));
    start = at + separator.size();
  }
  pieces.push_back(text.substr(start));
  return pieces;
}

// A raw storage post: six fields of four lines each, the file part's three header lines, the
// file's bytes unchanged and the closing delimiter. No name adds or splits a line.
void expectIntactForm(const json& post, const std::string& remoteName, const Bytes& file) {
  const std::string type = post["headers"].value("content-type", "");
  const std::string body = base64Decode(post.value("body_b64", ""));
  const std::string delimiter = "--" + type.substr(type.find("boundary=") + 9);
  const std::string tail =
      "\r\n\r\n" + std::string(file.begin(), file.end()) + "\r\n" + delimiter + "--";
  ASSERT_TRUE(body.ends_with(tail));
  const auto lines = split(body.substr(0, body.size() - tail.size()), "\r\n");
  ASSERT_EQ(lines.size(), 6u * 4 + 3) << body.substr(0, body.size() - tail.size());
  for (std::size_t i = 0; i < 24; i += 4) {
    EXPECT_EQ(lines[i] + lines[i + 2], delimiter);
    EXPECT_TRUE(lines[i + 1].starts_with("Content-Disposition: form-data; name=\""));
    EXPECT_TRUE(!lines[i + 1].ends_with("name=\"key\"") || lines[i + 3] == remoteName);
  }
  EXPECT_EQ(lines[24], delimiter);
  EXPECT_EQ(lines[25], "Content-Disposition: form-data; name=\"file\"; filename=\"" +
                           MultipartFormData::escapedHeaderText(remoteName) + "\"");
  EXPECT_TRUE(lines[26].starts_with("Content-Type: ")) << lines[26];
}

// One name of a folder, valid UTF-8 without control characters (U+FFFD marks invalid bytes).
bool isSafeFileName(const std::string& name) {
  const std::string shown = json(name).dump(-1, ' ', false, json::error_handler_t::replace);
  return shown.find("\xef\xbf\xbd") == std::string::npos && name != "." && name != ".." &&
         name.size() <= 255 && std::none_of(name.begin(), name.end(), [](unsigned char c) {
           return c < 0x20 || c == 0x7f || c == '/';
         });
}

class SecurityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string whyNot;
    dev_ = DevService::get(&whyNot);
    ASSERT_TRUE(dev_) << whyNot;
    host_ = installHost({}, dev_->token);  // quotas unset: the plan's limits
    docs_ = makeDocumentsFolder();
    restartLog();
  }
  void TearDown() override {
    if (!dev_) return;
    settle(host_);
    dev_->reset();
  }

  // A fresh request log that keeps the bodies of storage posts.
  void restartLog() const {
    dev_->reset();
    ASSERT_EQ(dev_->call("POST", "/__dev__/capture", json{{"storage_raw", true}}).status, 200);
  }
  json requests(const std::string& prefix = "/") const {
    return dev_->call("GET", "/__dev__/requests?path_prefix=" + prefix).json()["requests"];
  }
  // Waits for the `count`th state of `capture` and gives its latest one.
  ShareState awaitState(const ScreenCapture& capture, std::size_t count) const {
    const std::string path = relativeScreenCapturePath(capture.fileURL());
    waitUntil([&] { return host_.observer->states(path).size() >= count; }, 120s);
    const auto states = host_.observer->states(path);
    return states.size() >= count ? states.back() : ShareState::unknown;
  }
  ShareState share(const ScreenCapture& capture) const {
    const auto before = host_.observer->states(relativeScreenCapturePath(capture.fileURL())).size();
    host_.manager->share(capture);
    // An upload reports "uploading" first; a refusal before it reports its error alone.
    ShareState state = awaitState(capture, before + 1);
    return state == ShareState::uploading ? awaitState(capture, before + 2) : state;
  }

  const DevService* dev_ = nullptr;
  Host host_;
  fs::path docs_;
};

TEST_F(SecurityTest, TokenGoesOnlyToTheAPIAndIntoNoLogLine) {
  for (const char* name : {"cycle.png", "refused.png", "dropped.png"}) {
    writeBytes(docs_ / name, randomBytes(3000));
  }
  const Screenshot shot(Url::fileURL(docs_ / "cycle.png")),
      refused(Url::fileURL(docs_ / "refused.png")), dropped(Url::fileURL(docs_ / "dropped.png"));
  // Checked once the capture has ended: a failure reported inside it would be swallowed.
  std::vector<bool> steps;
  std::string output;
  {
    CapturedStdout capture;
    steps.push_back(share(shot) == ShareState::uploaded);
    steps.push_back(waitUntil([&] { return !requests("/api/v1/upload/complete/").empty(); }));
    host_.manager->checkScreenCaptureRemoteState(shot);
    steps.push_back(awaitState(shot, 3) == ShareState::uploaded);
    dev_->fault({{"route", "upload/delete"}, {"status", 500}, {"body_kind", "html"}});
    host_.manager->deleteScreenCapture(shot);
    steps.push_back(
        waitUntil([&] { return !host_.log->linesStartingWith("Delete task error = ").empty(); }));
    host_.manager->deleteScreenCapture(shot);
    steps.push_back(awaitState(shot, 4) == ShareState::notUploaded);
    host_.manager->checkScreenCaptureRemoteState(shot);
    steps.push_back(awaitState(shot, 5) == ShareState::notUploaded);
    // Failures write what they met: the service's refusal, a storage post cut short (on every
    // try: a post cut on a reused connection is sent again on another).
    dev_->fault({{"route", "upload/start"}, {"status", 403}, {"body_kind", "json"}});
    steps.push_back(share(refused) == ShareState::error);
    dev_->fault({{"route", "storage"}, {"drop_after_bytes", 100}, {"count", 10}});
    steps.push_back(share(dropped) == ShareState::error);
    output = capture.take();
  }
  EXPECT_EQ(steps, std::vector<bool>(8, true)) << output;
  EXPECT_NE(output.find("Error multipart upload = "), std::string::npos) << output;
  EXPECT_EQ(output.find(dev_->token), std::string::npos) << output;
  for (const auto& line : host_.log->lines()) EXPECT_EQ(line.find(dev_->token), std::string::npos);
  std::map<std::string, int> seen;
  for (const json& r : requests()) {
    const std::string path = r["path"];
    if (path.starts_with("/api/")) {
      ++seen["api"];
      EXPECT_EQ(r["headers"].value("authorization", ""), "ApiKey " + dev_->token) << path;
      continue;
    }
    ASSERT_TRUE(path.starts_with("/storage") || path.starts_with("/cdn/")) << path;
    ++seen[path.substr(1, 4)];
    EXPECT_FALSE(r["headers"].contains("authorization")) << path;
    EXPECT_EQ(r["headers"].dump().find(dev_->token), std::string::npos) << path;
    EXPECT_EQ(r.value("query", "").find(dev_->token), std::string::npos) << path;
    if (path.starts_with("/storage")) {
      ASSERT_TRUE(r.contains("body_b64")) << path;
      EXPECT_EQ(base64Decode(r["body_b64"]).find(dev_->token), std::string::npos);
    }
  }
  // start, complete, two deletes, two more starts; two posts; two checks.
  EXPECT_GE(seen["api"], 6);
  EXPECT_GE(seen["stor"], 2);  // the cut post may be retried
  EXPECT_EQ(seen["cdn/"], 2);
}

// The remote name is digest + extension, but the extension and the local path come from the name.
TEST_F(SecurityTest, HostileCaptureNamesUploadIntactOrFailWithAnError) {
  // Label, name, shared as an OtherItem (or a Screenshot), uploads (or errs, posting nothing).
  const std::vector<std::tuple<const char*, std::string, bool, bool>> rows = {
      {"quotes", "say \"cheese\".png", false, true},
      {"forged header", "a\r\nX-Forged: 1\r\n\r\nx.png", false, true},
      {"not UTF-8", "caf\xe9 \xff.png", false, true},
      {"255 bytes", std::string(251, 'n') + ".png", false, true},
      {"quote in the extension", "x.p\"ng", true, true},
      {"CR LF in the extension", "x.png\r\nX-Evil: 1", true, false},
      {"extension not UTF-8", "x.p\xffg", true, false},
      {"beyond the name limit", std::string(300, 'l') + ".png", false, false},
      {"parent folder", "sub/..", false, false},
  };
  auto urls = Resolver::resolveFromRoot<ShareURLHelperService>();
  fs::create_directories(docs_ / "sub");
  for (const auto& [label, name, other, uploads] : rows) {
    SCOPED_TRACE(label);
    restartLog();
    const Bytes bytes = randomBytes(2048);
    if (name.size() <= 255 && !name.ends_with("..")) writeBytes(docs_ / name, bytes);
    const Url url = Url::fileURL(docs_ / name);
    const auto state = other ? share(OtherItem(url)) : share(Screenshot(url));
    const auto posts = requests("/storage");
    if (!uploads) {
      EXPECT_EQ(state, ShareState::error);
      EXPECT_TRUE(posts.empty()) << posts.dump();
      continue;
    }
    EXPECT_EQ(state, ShareState::uploaded);
    const auto link = urls->generateShareURL(Screenshot(url));
    ASSERT_TRUE(link && posts.size() == 1u);
    expectIntactForm(posts[0], link->lastPathComponent(), bytes);
    EXPECT_TRUE(fetch("GET", link->absoluteString()).body == bytes) << link->absoluteString();
  }
}

TEST_F(SecurityTest, IntakeStoresHostileNamesSafelyInsideSharedStorage) {
  const fs::path library =
      prepareProcess() / "data" / FileStorage::defaultSharedAppGroup() / "Library/Caches";
  fs::create_directories(library.parent_path());
  std::vector<fs::path> paths;
  std::multiset<std::string> contents;
  for (const std::string& name : {std::string("say \"cheese\".png"), std::string("cr\r\nlf.png"),
                                  std::string("x.p\"n\rg"), std::string(250, 'u') + "\xff.png"}) {
    extension_testing::writeFile(paths.emplace_back(docs_ / name), *contents.insert(name + "!"));
  }
  auto context = LinuxExtensionContext::withFilePaths(paths);
  auto model = std::make_shared<ShareViewModel>();
  bool loaded = false;
  CapturedStdout capture;
  model->handleBeginRequest(context, [&loaded] { loaded = true; });
  ASSERT_TRUE(waitUntil([&] { return loaded; }, 30s));
  model->handleSharePressed(context);
  const std::string output = capture.take();
  ASSERT_TRUE(context->ending() && !context->ending()->cancelled) << output;
  std::multiset<std::string> stored;
  for (const auto& name : namesIn(library)) {
    EXPECT_TRUE(isSafeFileName(name)) << name;
    stored.insert(extension_testing::readFile(library / name));
  }
  EXPECT_EQ(stored, contents) << output;
  EXPECT_EQ(namesIn(library.parent_path()), std::vector<std::string>{"Caches"});
}

TEST_F(SecurityTest, TemporaryNamesStayInsideTheTemporaryFolder) {
  TempFilesManager temp;
  const fs::path folder = temp.temporaryFolderURL().filePath();
  // clang-format off
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"a \"b\"\r\n\xe9.txt", "a \"b\"\r\n\xe9.txt"}, {"../../escape.png", "escape.png"},
      {"..", "_"}, {"", "_"}, {"dir/", "_"}, {std::string("../x\0y", 6), "x_y"},
      {std::string(300, 'L'), std::string(255, 'L')}};
  // clang-format on
  for (const auto& [given, expected] : rows) {
    const fs::path target = temp.temporaryURLFileName(given).filePath();
    EXPECT_TRUE(target.parent_path() == folder && target.filename() == expected) << given;
  }
  const fs::path unique = temp.temporaryURLWith("/../../x").filePath();
  EXPECT_TRUE(unique.parent_path() == folder && unique.filename().native().size() == 45u) << unique;

  // Moving "sub/.." would move the folder above; it is refused and nothing moves.
  writeBytes(docs_ / "stay.png", {1});
  fs::create_directories(docs_ / "sub");
  EXPECT_FALSE(temp.moveToTemporaryFolder(Url::fileURL(docs_ / "sub/..")));
  EXPECT_TRUE(fs::exists(docs_ / "stay.png") && namesIn(folder).empty());

  // Cleaning removes a link that points outside, never what it points to.
  fs::create_directory_symlink(docs_, folder / "outside");
  temp.cleanTemporaryFolder();
  EXPECT_TRUE(namesIn(folder).empty() && fs::exists(docs_ / "stay.png"));
}

// Large hostile states files (the small shapes are the store's own tests), timed, never asserted.
TEST_F(SecurityTest, HostileStatesFilesLoadOrAreReplacedAsFastAsTheyAreRead) {
  constexpr std::size_t kMax = std::size_t{16} << 20;
  auto entries = [](std::size_t size, bool sameId) {
    std::string text = "[";
    for (int i = 0; text.size() + 64 < size; ++i) {
      text += std::string(i ? "," : "") + R"({"id":"/c)" + std::to_string(sameId ? 0 : i) +
              R"(.png","state":")" + (i ? "error" : "uploaded") + "\"}";
    }
    return text;
  };
  const std::string padded = entries(100, false);  // one entry, unclosed
  const std::string deep = std::string(100'000, '[') + std::string(100'000, ']');
  const std::vector<std::tuple<const char*, std::string, bool>> rows = {
      // label, text, loads
      {"16 MiB of entries", entries(kMax, false) + "]", true},
      {"one entry padded to 16 MiB", padded + std::string(kMax - padded.size() - 1, ' ') + "]",
       true},
      {"one id in every entry (the first wins)", entries(kMax, true) + "]", true},
      {"50 MB of entries", entries(50'000'000, false) + "]", true},
      {"100k '[' in a member", padded.substr(0, padded.size() - 1) + R"(,"x":)" + deep + "}]",
       false},
      {"truncated after 15 MiB", entries(15 << 20, false).substr(0, (15 << 20) - 100), false},
  };
  const fs::path file = prepareProcess() / "data/lumo" / ShareStatesManager::kStatesFileName;
  const Screenshot first(Url::fileURL(docs_ / "c0.png"));
  auto ms = [](auto from, auto to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
  };
  std::ostringstream report;
  report << "States files, " LUMO_BUILD_TYPE
            " build: reading one against loading it.\n\n"
            "| file | bytes | read (ms) | load (ms) | outcome |\n|---|---|---|---|---|\n";
  for (const auto& [label, text, loads] : rows) {
    SCOPED_TRACE(label);
    writeBytes(file, Bytes(text.begin(), text.end()));
    CapturedStdout quiet;
    const auto start = std::chrono::steady_clock::now();
    std::string bytes(text.size(), '\0');
    std::ifstream(file, std::ios::binary)
        .read(bytes.data(), static_cast<std::streamsize>(text.size()));
    const auto read = std::chrono::steady_clock::now();
    const auto store = std::make_shared<ShareStatesManager>();
    const auto loaded = std::chrono::steady_clock::now();
    quiet.take();
    const Bytes left = readBytes(file);
    // A valid file is taken and left as it is; any other is replaced.
    EXPECT_EQ(store->getState(first), loads ? ShareState::uploaded : ShareState::unknown);
    EXPECT_TRUE(left == (loads ? Bytes(text.begin(), text.end()) : Bytes{'[', ']'}));
    report << "| " << label << " | " << text.size() << " | " << ms(start, read) << " | "
           << ms(read, loaded) << " | " << (loads ? "loaded" : "replaced by []") << " |\n";
  }
  lumo::testing::writeReportSection("hostile-input", report.str());
}

}  // namespace
}  // namespace lumo::sharetest
