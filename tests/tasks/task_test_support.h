#pragma once

// What the transfer-task tests share: the reference service's hooks, the services a host
// registers, and recorders for the task delegates and the debug log.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "lumo/platform/HttpSession.h"
#include "lumo/platform/OperationQueue.h"
#include "lumo/support/Log.h"
#include "lumo/tasks/DeleteTaskDelegate.h"
#include "lumo/tasks/NetworkTask.h"
#include "lumo/tasks/UploadTaskDelegate.h"

namespace lumo::tasktest {

using Bytes = std::vector<std::uint8_t>;
using Json = nlohmann::json;

// An extension no other client of the service uses: API calls about it have a body size of
// their own, which is how a test finds its calls in the shared request log.
inline const std::string kOwn = "lumo-tasks-own";

// Upper-case hex digits in groups of 8-4-4-4-12.
bool isUpperCaseUUID(const std::string& text);
Bytes randomBytes(std::size_t size);

// The reference service of LUMO_API_BASE, LUMO_SHARE_BASE and LUMO_DEV_TOKEN.
struct DevStack {
  struct Reply {
    std::int64_t status = 0;
    Bytes body;
    std::string contentType;
  };
  static const DevStack* get(std::string* whyNot);
  Reply call(const std::string& method, const std::string& pathOrUrl,
             const std::optional<Json>& body = std::nullopt) const;
  void fault(Json fault) const;  // fails the test when refused
  std::vector<Json> requests(const std::string& pathPrefix) const;

  std::string apiBase, shareBase, token;
  std::shared_ptr<HttpSession> session;
};

// Debug lines, recorded in order as well as printed.
class RecordingLog : public Log {
 public:
  using Log::debug;
  void debug(const std::string& message, bool showInReleaseMode) override;
  std::vector<std::string> linesStartingWith(const std::string& prefix) const;

 private:
  mutable std::mutex mu_;
  std::vector<std::string> lines_;  // guarded by mu_
};

// One call a delegate received.
struct Event {
  std::string kind;  // the method's name without "task"
  double progress = 0;
  std::int64_t fileSize = 0, duration = 0;
  std::optional<Error> error = std::nullopt;
  bool taskFinished = false, onMainThread = false;
  std::thread::id thread = {};
  bool isFinal() const {
    return kind != "UploadStarted" && kind != "ProgressUpdated" && kind != "DeleteStarted";
  }
};

class RecordingDelegate : public UploadTaskDelegate, public DeleteTaskDelegate {
 public:
  void taskUploadStarted(const std::shared_ptr<UploadTask>& t) override;
  void taskProgressUpdated(const std::shared_ptr<UploadTask>& t, double progress) override;
  void taskUploadComplete(const std::shared_ptr<UploadTask>& t, std::int64_t fileSize,
                          std::int64_t duration) override;
  void taskUploadError(const std::shared_ptr<UploadTask>& t, std::int64_t fileSize,
                       const Error& error, std::int64_t duration) override;
  void taskCancelled(const std::shared_ptr<UploadTask>& t) override;
  void taskDeleteStarted(const std::shared_ptr<DeleteTask>& t) override;
  void taskDeleteComplete(const std::shared_ptr<DeleteTask>& t) override;
  void taskDeleteError(const std::shared_ptr<DeleteTask>& t, const Error& error) override;

  std::vector<Event> events(const std::string& kind = "") const;
  std::vector<Event> finals() const;

 private:
  void record(const NetworkTask& task, Event event);
  mutable std::mutex mu_;
  std::vector<Event> events_;  // guarded by mu_
};

// The fixture of the tests that run tasks against the reference service, which other tests
// share: it never resets it, keys its faults to its own files and reads only their requests.
class ServiceTaskTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  static void useToken(bool signedIn);
  static RecordingLog& log();
  static double now();  // as the request log gives times

  // Queues `task`, drives the main queue until it has ended, and checks it ended once.
  void run(const std::shared_ptr<NetworkTask>& task);
  bool waitForFinal() const;
  void expectEndedOnce(const NetworkTask& task);
  Event final() const;
  static std::size_t logged(const std::string& prefix) {
    return log().linesStartingWith(prefix).size();
  }
  std::filesystem::path write(const std::string& name, const Bytes& bytes) const;
  // This test's API calls to `path` ("upload/complete") about the remote name `key`.
  std::vector<Json> calls(const std::string& path, const std::string& key) const;
  std::int64_t served(const std::string& key) const;

  const DevStack* stack_ = nullptr;
  double since_ = 0;
  std::filesystem::path dir_;
  std::shared_ptr<RecordingDelegate> delegate_ = std::make_shared<RecordingDelegate>();
  OperationQueue queue_;
};

}  // namespace lumo::tasktest
