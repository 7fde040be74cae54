#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "CaptureTracker.h"
#include "Host.h"
#include "Output.h"

namespace lumo::cli {

// One command's work with the share service: shares, checks or deletes a list of files, runs
// the main queue until that work has ended, and reports each file once: one result on standard
// output, and for a failure one "error: FILE: reason" line on standard error.
class ShareRun {
 public:
  struct Outcome {
    std::string file;
    bool ok = false;
    ShareState state = ShareState::unknown;
    std::optional<std::string> error;
    std::optional<std::string> link;  // a screencast's page
  };

  ShareRun(Output& output, Host& host);
  ~ShareRun();

  // Each returns the exit status: 0 all succeeded, 1 some failed, 130 after Ctrl-C.
  int share(const std::vector<std::string>& files, std::vector<Outcome>* outcomes = nullptr);
  int check(const std::vector<std::string>& files);
  int remove(const std::vector<std::string>& files);

 private:
  // Refreshes the plan limits from the profile before a share; the reason to share nothing
  // when the service refuses the token.
  std::optional<std::string> refreshLimits();
  // The capture for `file`, tracked under its normal path; nullptr (with the failure reported)
  // when it cannot be read, or for a share when it cannot be shared.
  std::shared_ptr<const ScreenCapture> open(const std::string& file, bool forShare);
  // Runs the main queue until `done()`; cancels the tracked uploads on Ctrl-C. False when
  // `limit` passed first.
  bool wait(const std::function<bool()>& done, std::chrono::milliseconds limit);
  void succeed(const nlohmann::json& result, const std::string& text);
  void fail(const std::string& file, const std::string& why,
            std::optional<ShareState> state = std::nullopt);
  int finish(bool failed);

  Output& output_;
  Host& host_;
  std::shared_ptr<ShareManager> manager_;
  std::shared_ptr<ShareStatesManager> states_;
  std::shared_ptr<CaptureTracker> tracker_;
  std::vector<std::string> reasons_;  // of the failures reported, to leave out repeating alerts
  bool cancelled_ = false;
  bool finished_ = false;
};

}  // namespace lumo::cli
