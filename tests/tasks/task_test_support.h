#pragma once

// What the transfer-task tests add to tests/common: a delegate that records every call of the
// upload and delete interfaces, and the fixture of the tests that run tasks on the service.

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "DevService.h"
#include "Recorders.h"
#include "lumo/platform/OperationQueue.h"
#include "lumo/tasks/DeleteTask.h"
#include "lumo/tasks/UploadTask.h"

namespace lumo::tasktest {

using test::Bytes;
using test::json;

// API calls about names with this extension have a body size of their own: that is how a test
// finds its own calls in the request log it shares with other clients.
inline const std::string kOwn = "lumo-tasks-own";

bool isUpperCaseUUID(const std::string& text);
Bytes randomBytes(std::size_t size);

struct Event {
  std::string kind;  // the delegate method's name without "task"
  double progress = 0;
  std::int64_t fileSize = 0, duration = 0;
  std::optional<Error> error = std::nullopt;
  bool taskFinished = false, onMainThread = false;
  std::thread::id thread = {};
};

class RecordingDelegate : public UploadTaskDelegate, public DeleteTaskDelegate {
 public:
  using Task = std::shared_ptr<UploadTask>;
  void taskUploadStarted(const Task& t) override { add(*t, {.kind = "UploadStarted"}); }
  void taskProgressUpdated(const Task& t, double p) override {
    add(*t, {.kind = "ProgressUpdated", .progress = p});
  }
  void taskUploadComplete(const Task& t, std::int64_t size, std::int64_t ms) override {
    add(*t, {.kind = "UploadComplete", .fileSize = size, .duration = ms});
  }
  void taskUploadError(const Task& t, std::int64_t size, const Error& e, std::int64_t ms) override {
    add(*t, {.kind = "UploadError", .fileSize = size, .duration = ms, .error = e});
  }
  void taskCancelled(const Task& t) override { add(*t, {.kind = "Cancelled"}); }
  void taskDeleteStarted(const std::shared_ptr<DeleteTask>& t) override {
    add(*t, {.kind = "DeleteStarted"});
  }
  void taskDeleteComplete(const std::shared_ptr<DeleteTask>& t) override {
    add(*t, {.kind = "DeleteComplete"});
  }
  void taskDeleteError(const std::shared_ptr<DeleteTask>& t, const Error& e) override {
    add(*t, {.kind = "DeleteError", .error = e});
  }
  // The calls of `kind`, or of every kind; the final ones (complete, error, cancelled).
  std::vector<Event> events(const std::string& kind = "") const;
  std::vector<Event> finals() const;

 private:
  void add(const NetworkTask& task, Event event);
  test::Record<Event> events_;
};

// Registers what a host registers for the tasks, with a recording log, and signs in; the
// requests of a test are those since `since_`, its files are under `dir_`.
class ServiceTaskTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override { std::filesystem::remove_all(dir_); }
  static void useToken(bool signedIn);
  static test::RecordingLog& log();
  static std::size_t logged(const std::string& prefix) {
    return log().linesStartingWith(prefix).size();
  }

  // Queues `task`, drives the main queue until its final call and checks it ended once.
  void run(const std::shared_ptr<NetworkTask>& task);
  bool waitForFinal() const;
  void expectEndedOnce(const NetworkTask& task);
  Event final() const;
  // Queues a fault, for the requests about `key` only when given.
  void fault(json f, const std::string& key = "") const {
    if (!key.empty()) f["key"] = key;
    EXPECT_TRUE(dev_->fault(f)) << f.dump();
  }
  std::filesystem::path write(const std::string& name, const Bytes& bytes) const;
  // This test's calls of "upload/complete" or "upload/delete" with the body size of `key`'s.
  std::vector<json> calls(const std::string& route, const std::string& key) const;
  std::int64_t served(const std::string& key) const;

  const test::DevService* dev_ = nullptr;
  double since_ = 0;
  std::filesystem::path dir_;
  std::shared_ptr<RecordingDelegate> delegate_ = std::make_shared<RecordingDelegate>();
  OperationQueue queue_;
};

}  // namespace lumo::tasktest
