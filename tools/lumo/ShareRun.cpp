#include "ShareRun.h"

#include <atomic>
#include <filesystem>

#include "Interrupt.h"
#include "lumo/account/ProfileUpdateService.h"
#include "lumo/account/UserAccountStoreService.h"
#include "lumo/capture/ScreenCaptureHelperService.h"
#include "lumo/capture/Screencast.h"
#include "lumo/registry/Resolver.h"
#include "lumo/sharing/ShareURLHelperService.h"
#include "lumo/support/DispatchQueue.h"

namespace lumo::cli {
namespace fs = std::filesystem;
namespace {

constexpr auto kForever = std::chrono::hours(24 * 365);
// A check gives up after the library's request timeout and a margin for the digest.
constexpr auto kCheckLimit = std::chrono::seconds(70);
// After Ctrl-C, uploads that do not report "cancelled" within this time are left behind.
constexpr auto kCancelLimit = std::chrono::seconds(30);
// A delete that has not reached the transfer queue by then never will.
constexpr auto kDeleteQueueLimit = std::chrono::seconds(5);
constexpr auto kDeleteReportGrace = std::chrono::seconds(2);
// Sharing goes on with the limits known so far when the profile does not come in time.
constexpr auto kProfileLimit = std::chrono::seconds(15);

std::string stateName(ShareState state) {
  return std::string(rawValue(state));
}

}  // namespace

ShareRun::ShareRun(Output& output, Host& host)
    : output_(output), host_(host), manager_(host.manager()), states_(host.states()) {
  tracker_ = std::make_shared<CaptureTracker>(states_, manager_);
  manager_->setScreenCaptureDelegate(tracker_);
  manager_->setUploadQueueDelegate(tracker_);
  tracker_->setOnState([this](const CaptureTracker::Entry& entry) {
    output_.emit({{"event", "state"}, {"file", entry.file}, {"state", stateName(entry.state)}}, "");
  });
}

ShareRun::~ShareRun() {
  // Reports that come after the command are the store's alone again.
  manager_->setScreenCaptureDelegate(states_);
}

void ShareRun::fail(const std::string& file, const std::string& why) {
  output_.emit({{"file", file}, {"ok", false}, {"error", why}}, "failed  " + file + ": " + why);
}

std::shared_ptr<const ScreenCapture> ShareRun::open(const std::string& file) {
  std::error_code ec;
  const fs::path path = fs::absolute(file, ec);
  if (ec || !fs::is_regular_file(path, ec)) {
    fail(file, "no such file");
    return nullptr;
  }
  auto helper = Resolver::resolveFromRoot<ScreenCaptureHelperService>();
  std::shared_ptr<const ScreenCapture> capture = helper->screenCapture(Url::fileURL(path));
  tracker_->track(file, capture);
  return capture;
}

bool ShareRun::wait(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (Interrupt::requested() && !cancelled_) {
      cancelled_ = true;
      tracker_->cancelAll();
      deadline = std::min(deadline, std::chrono::steady_clock::now() + kCancelLimit);
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    MainQueue::runUntil([&] { return done() || (Interrupt::requested() && !cancelled_); },
                        std::chrono::milliseconds(100));
  }
  return true;
}

int ShareRun::finish(bool failed) {
  states_->waitUntilSaved();
  if (cancelled_) return 130;
  return failed ? 1 : 0;
}

void ShareRun::refreshLimits() {
  // A fresh process knows only the default plan limits; the quota check needs the user's.
  if (!Resolver::resolveFromRoot<UserAccountStoreService>()->isLoggedIn()) return;
  auto done = std::make_shared<std::atomic<bool>>(false);
  Resolver::resolveFromRoot<ProfileUpdateService>()->updateProfileIfNeeded(
      [done](const Result<ProfileResponse>&) { *done = true; });
  wait([&] { return done->load(); }, kProfileLimit);
}

int ShareRun::share(const std::vector<std::string>& files, std::vector<Outcome>* outcomes) {
  refreshLimits();
  auto urls = Resolver::resolveFromRoot<ShareURLHelperService>();
  std::map<std::string, std::optional<Url>> links;
  bool failed = false;
  std::size_t asked = 0;
  for (const auto& file : files) {
    if (Interrupt::requested()) break;
    auto capture = open(file);
    if (!capture) {
      failed = true;
      if (outcomes) outcomes->push_back({file, false, ShareState::unknown, "no such file", {}});
      continue;
    }
    const bool screencast = dynamic_cast<const Screencast*>(capture.get()) != nullptr;
    links[file] =
        screencast ? urls->generateHTMLShareURL(*capture) : urls->generateShareURL(*capture);
    manager_->share(*capture);
    ++asked;
  }
  // Done when every capture asked for has a final state and the transfer queue is empty again.
  const bool ended = wait(
      [&] {
        if (tracker_->queueCount() != 0) return false;
        for (const auto& entry : tracker_->entries()) {
          if (entry.reports == 0 || !isFinal(entry.state)) return false;
        }
        return true;
      },
      kForever);
  // The progress line ends before the results, which may share the terminal with it.
  bool allUploaded = asked > 0;
  for (const auto& entry : tracker_->entries()) {
    allUploaded = allUploaded && entry.state == ShareState::uploaded && entry.reports > 0;
  }
  host_.progress()->finish(allUploaded);
  for (const auto& entry : tracker_->entries()) {
    Outcome outcome{entry.file,
                    entry.state == ShareState::uploaded && entry.reports > 0,
                    entry.state,
                    entry.error,
                    {}};
    if (auto it = links.find(entry.file); it != links.end() && it->second) {
      outcome.link = it->second->absoluteString();
    }
    if (outcome.ok) {
      output_.emit({{"file", entry.file},
                    {"ok", true},
                    {"state", "uploaded"},
                    {"link", outcome.link.value_or("")}},
                   "uploaded  " + entry.file + "  " + outcome.link.value_or(""));
    } else {
      failed = true;
      std::string why = !ended && entry.reports == 0 ? "no answer"
                        : outcome.error              ? *outcome.error
                                                     : stateName(entry.state);
      if (entry.state == ShareState::cancelled) why = "cancelled";
      output_.emit(
          {{"file", entry.file}, {"ok", false}, {"state", stateName(entry.state)}, {"error", why}},
          (entry.state == ShareState::cancelled ? "cancelled  " : "failed  ") + entry.file + ": " +
              why);
    }
    if (outcomes) outcomes->push_back(std::move(outcome));
  }
  return finish(failed);
}

int ShareRun::check(const std::vector<std::string>& files) {
  bool failed = false;
  for (const auto& file : files) {
    if (auto capture = open(file)) {
      manager_->checkScreenCaptureRemoteState(*capture);
    } else {
      failed = true;
    }
  }
  wait(
      [&] {
        for (const auto& entry : tracker_->entries()) {
          if (entry.reports == 0) return false;
        }
        return true;
      },
      kCheckLimit);
  for (const auto& entry : tracker_->entries()) {
    if (entry.reports == 0) {
      failed = true;
      fail(entry.file, "no answer from the delivery address");
      continue;
    }
    const bool there = entry.state == ShareState::uploaded;
    output_.emit({{"file", entry.file},
                  {"ok", true},
                  {"state", stateName(entry.state)},
                  {"onServer", there}},
                 (there ? "on server  " : "gone  ") + entry.file);
  }
  return finish(failed);
}

int ShareRun::remove(const std::vector<std::string>& files) {
  bool failed = false;
  for (const auto& file : files) {
    if (auto capture = open(file)) {
      manager_->deleteScreenCapture(*capture);
    } else {
      failed = true;
    }
  }
  // The queue may report its first transfer after the calls return; a delete that never
  // reaches it (no link can be made) is given up after a short while.
  const auto asked = std::chrono::steady_clock::now();
  wait(
      [&] {
        if (tracker_->queueWasBusy() && tracker_->queueCount() == 0) return true;
        if (!tracker_->queueWasBusy() &&
            std::chrono::steady_clock::now() - asked > kDeleteQueueLimit) {
          return true;
        }
        for (const auto& entry : tracker_->entries()) {
          if (!entry.deleted) return false;
        }
        return true;
      },
      kForever);
  // The queue may count the transfer out just before its report of the delete comes in.
  wait(
      [&] {
        for (const auto& entry : tracker_->entries()) {
          if (!entry.deleted) return false;
        }
        return true;
      },
      kDeleteReportGrace);
  for (const auto& entry : tracker_->entries()) {
    if (entry.deleted) {
      output_.emit({{"file", entry.file}, {"ok", true}, {"state", stateName(entry.state)}},
                   "deleted  " + entry.file);
    } else {
      failed = true;
      // The library only logs a failed delete; the state it leaves unchanged tells.
      fail(entry.file, "not deleted (state unchanged: " + stateName(entry.state) + ")");
    }
  }
  return finish(failed);
}

}  // namespace lumo::cli
