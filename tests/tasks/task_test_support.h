#pragma once

// What the transfer-task tests share: the reference service (addresses and test hooks), the
// services a host registers, delegates that record every call, files on disk, and the
// independent multipart parser.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "lumo/platform/HttpSession.h"
#include "lumo/platform/OperationQueue.h"
#include "lumo/sharing/EnvironmentHelperService.h"
#include "lumo/support/Error.h"
#include "lumo/tasks/DeleteTaskDelegate.h"
#include "lumo/tasks/NetworkTask.h"
#include "lumo/tasks/UploadTaskDelegate.h"

namespace lumo::tasktest {

// Whether `text` is a UUID in the desktop's form: upper-case hex digits in groups of 8-4-4-4-12.
// (No <regex>: g++ 12 warns inside it in optimised sanitizer builds.)
inline bool isUpperCaseUUID(std::string_view text) {
  if (text.size() != 36) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

using Bytes = std::vector<std::uint8_t>;

// An HTTP exchange made by a test itself.
struct Reply {
  std::int64_t status = 0;
  std::vector<std::pair<std::string, std::string>> headers;
  Bytes body;
  std::optional<Error> error;

  std::optional<std::string> header(const std::string& name) const;
  nlohmann::json json() const;
};

// The reference service named by LUMO_API_BASE, LUMO_SHARE_BASE, LUMO_STORAGE_URL and
// LUMO_DEV_TOKEN (`eval "$(scripts/devstack start)"`).
class DevStack {
 public:
  // The service when its variables are set and it answers; otherwise nullptr, and `whyNot`
  // says how to start it.
  static const DevStack* get(std::string* whyNot);

  std::string apiBase, shareBase, storageUrl, token;

  // `method` on a path of the API host ("/__dev__/reset") or on a full URL.
  Reply call(const std::string& method, const std::string& pathOrUrl,
             const std::optional<nlohmann::json>& body = std::nullopt) const;

  // Queues a fault for a route (see the service's README); false when refused.
  bool fault(const nlohmann::json& fault) const;
  void captureStorageBodies(bool on) const;
  // The request log, oldest first, for paths starting with `pathPrefix`.
  std::vector<nlohmann::json> requests(const std::string& pathPrefix = "/") const;

  // Other developers' tests share the service, its log and its faults, so a test looks only at
  // its own requests. Storage posts are found by the "key" field of their captured body (raw
  // capture on); API calls, whose bodies the log does not keep, by their path, the time since
  // `since` (seconds since the epoch) and the exact size of the body sent for the remote name.
  std::vector<nlohmann::json> storagePostsFor(const std::string& key, double since) const;
  std::vector<nlohmann::json> callsWithBodySize(const std::string& path, std::size_t bodySize,
                                                double since) const;

 private:
  std::shared_ptr<HttpSession> session_;
};

// The host's environment for tests: debug lines are shown when `debug` is true.
class TestEnvironment : public EnvironmentHelperService {
 public:
  bool isDebug() const override { return debug.load(); }
  std::atomic<bool> debug{false};
};

// An extension no other client of the service uses: its remote names give the API bodies a
// size of their own, so that a test can tell that no call was made for its file.
inline constexpr const char* kOwnExtension = "lumo-tasks-own";

// The bytes of the JSON bodies the library sends: "upload/start", and "upload/complete" or
// "upload/delete" (the key alone).
std::size_t startBodySize(const std::string& contentType, std::int64_t fileSize,
                          const std::string& key);
std::size_t keyBodySize(const std::string& key);
// Now, in seconds since the epoch, as the service's log gives times (the same clock).
double nowForLog();

// In task_test_services.cpp (linked with the account and sharing libraries):
// registers once per process what a host registers for the tasks (environment, Log, account
// store, API settings, share URLs, local files), with the defaults under a private folder, and
// signs the account store in with the service's token.
void installServices(const DevStack& stack);
// Signs in with `token`, or signs out without one.
void useToken(const std::optional<std::string>& token);

// One call a delegate received.
struct Event {
  std::string kind;  // "started", "progress", "complete", "error", "cancelled",
                     // "deleteStarted", "deleteComplete", "deleteError"
  double progress = 0;
  std::int64_t fileSize = 0;
  std::int64_t duration = 0;
  std::optional<Error> error = std::nullopt;
  bool taskFinished = false;  // the task's finished flag when the call came
  bool onMainThread = false;
  std::thread::id thread = {};
};

// Records every call of the upload or delete delegate interface.
class RecordingDelegate : public UploadTaskDelegate, public DeleteTaskDelegate {
 public:
  void taskUploadStarted(const std::shared_ptr<UploadTask>& task) override;
  void taskProgressUpdated(const std::shared_ptr<UploadTask>& task, double progress) override;
  void taskUploadComplete(const std::shared_ptr<UploadTask>& task, std::int64_t fileSize,
                          std::int64_t duration) override;
  void taskUploadError(const std::shared_ptr<UploadTask>& task, std::int64_t fileSize,
                       const Error& error, std::int64_t duration) override;
  void taskCancelled(const std::shared_ptr<UploadTask>& task) override;

  void taskDeleteStarted(const std::shared_ptr<DeleteTask>& task) override;
  void taskDeleteComplete(const std::shared_ptr<DeleteTask>& task) override;
  void taskDeleteError(const std::shared_ptr<DeleteTask>& task, const Error& error) override;

  std::vector<Event> events() const;
  // The final calls so far (complete, error, cancelled and their delete forms).
  std::vector<Event> finals() const;
  std::size_t count(const std::string& kind) const;
  // Drives the main queue until a final call arrived (true), or `timeout` passed (false).
  bool waitForFinal(std::chrono::milliseconds timeout = std::chrono::seconds(60)) const;

 private:
  void record(Event event);

  mutable std::mutex mu_;
  std::vector<Event> events_;  // guarded by mu_
};

// A fresh folder under the temporary folder, removed with the object.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // Writes `bytes` to a file named `name` in the folder and returns its path.
  std::filesystem::path write(const std::string& name, const Bytes& bytes) const;

 private:
  std::filesystem::path path_;
};

// `size` bytes that differ from run to run, so that every upload gets a new remote name.
Bytes randomBytes(std::size_t size);
Bytes readFile(const std::filesystem::path& path);
Bytes decodeBase64(const std::string& text);

// What Werkzeug's multipart parser makes of `body` posted with `contentType`.
struct ParsedForm {
  std::map<std::string, std::string> fields;  // text fields by name
  std::vector<std::string> names;             // every part's name
  std::string fileName;                       // the file part's file name
  std::string fileContentType;                // the file part's Content-Type
  Bytes fileBytes;
  std::string error;  // set when the parser could not run or refused the body
};
ParsedForm parseWithWerkzeug(const Bytes& body, const std::string& contentType);

// In task_test_services.cpp: the fixture of the tests that run tasks against the reference
// service. It never resets the service, which other developers' tests share: faults go to
// whoever asks next, so a test queues its fault just before its own request, and it looks only
// at its own files' requests (those made since `since_`).
class ServiceTaskTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Queues `task` and drives the main queue until its final call, then a little longer so that
  // a second final call would be seen, and checks that it ended once.
  void runToEnd(const std::shared_ptr<NetworkTask>& task);
  // One final call, made when the task was already finished, and the queue let the task go.
  void expectEndedOnce(const NetworkTask& task);
  // The first final call, or an event of kind "none".
  Event finalEvent() const;
  // "upload/complete" calls with the body size of `name`'s.
  std::size_t completes(const std::string& name) const;
  // The delivery address's status for `name`: 200, or 403 for a missing object.
  std::int64_t served(const std::string& name) const;

  const DevStack* stack_ = nullptr;
  double since_ = 0;
  TempDir dir_;
  std::shared_ptr<RecordingDelegate> delegate_ = std::make_shared<RecordingDelegate>();
  OperationQueue queue_;
};

}  // namespace lumo::tasktest
