#include "ShareRun.h"

#include <atomic>
#include <filesystem>

#include "Files.h"
#include "Interrupt.h"
#include "ServiceProbe.h"
#include "lumo/account/ProfileUpdateService.h"
#include "lumo/account/UserAccountStoreService.h"
#include "lumo/api/APISettings.h"
#include "lumo/capture/ScreenCaptureHelperService.h"
#include "lumo/capture/Screencast.h"
#include "lumo/registry/Resolver.h"
#include "lumo/sharing/ShareURLHelperService.h"
#include "lumo/support/DispatchQueue.h"

namespace lumo::cli {
namespace fs = std::filesystem;
namespace {

constexpr auto kForever = std::chrono::hours(24 * 365);
// A check's own HEAD request gives up after its 60-second idle timeout; this is only a backstop.
constexpr auto kCheckLimit = std::chrono::seconds(65);
// After Ctrl-C, uploads that do not report "cancelled" within this time are left behind.
constexpr auto kCancelLimit = std::chrono::seconds(30);
// A delete that has not reached the transfer queue by then never will.
constexpr auto kDeleteQueueLimit = std::chrono::seconds(5);
constexpr auto kDeleteReportGrace = std::chrono::seconds(2);
// Sharing goes on with the limits known so far when the profile does not come in time.
constexpr auto kProfileLimit = std::chrono::seconds(15);
constexpr const char* kNotSignedIn = "not signed in; run `lumo login TOKEN` first";

std::string stateName(ShareState state) {
  return std::string(rawValue(state));
}

// Whether the states store says that the capture is, or may be, on the service.
bool mayBeUploaded(ShareState state) {
  return state == ShareState::uploaded || state == ShareState::uploading;
}

// The alerts and notifications the library posted around its last reports would be lost at
// exit: run what is queued, and what that queues in turn, before results are final.
void runQueuedWork() {
  while (MainQueue::drain() > 0) {
  }
}

}  // namespace

ShareRun::ShareRun(Output& output, Host& host)
    : output_(output), host_(host), manager_(host.manager()), states_(host.states()) {
  tracker_ = std::make_shared<CaptureTracker>(states_, manager_);
  manager_->setScreenCaptureDelegate(tracker_);
  manager_->setUploadQueueDelegate(tracker_);
  // State changes are progress: standard error, in JSON mode only.
  if (output_.json()) {
    tracker_->setOnState([progress = host_.progress()](const CaptureTracker::Entry& entry) {
      const nlohmann::json event{
          {"event", "state"}, {"file", entry.file}, {"state", stateName(entry.state)}};
      progress->printLine(event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    });
  }
  host_.alerts()->hold();
}

ShareRun::~ShareRun() {
  if (!finished_) host_.alerts()->release(nullptr);
  // Reports that come after the command are the store's alone again.
  manager_->setScreenCaptureDelegate(states_);
}

void ShareRun::succeed(const nlohmann::json& result, const std::string& text) {
  output_.emit(result, text);
}

void ShareRun::fail(const std::string& file, const std::string& why,
                    std::optional<ShareState> state) {
  nlohmann::json result{{"file", file}, {"ok", false}, {"error", why}};
  if (state) result["state"] = stateName(*state);
  const bool cancelled = state == ShareState::cancelled;
  output_.emit(result, (cancelled ? "cancelled  " : "failed  ") + file + ": " + why);
  host_.progress()->printLine("error: " + file + ": " + why);
  reasons_.push_back(why);
}

std::shared_ptr<const ScreenCapture> ShareRun::open(const std::string& file, bool forShare) {
  const fs::path path = normalPath(file);
  auto why = whyUnreadable(path);
  if (!why && forShare) why = whyNotShareable(path);
  if (why) {
    fail(path.string(), *why);
    return nullptr;
  }
  auto helper = Resolver::resolveFromRoot<ScreenCaptureHelperService>();
  std::shared_ptr<const ScreenCapture> capture = helper->screenCapture(Url::fileURL(path));
  tracker_->track(path.string(), capture);
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
  runQueuedWork();
  finished_ = true;
  host_.alerts()->release([this](const std::string& alert) {
    for (const auto& reason : reasons_) {
      if (reason.find(alert) != std::string::npos || alert.find(reason) != std::string::npos)
        return true;
    }
    return false;
  });
  states_->waitUntilSaved();
  if (cancelled_) return 130;
  return failed ? 1 : 0;
}

std::optional<std::string> ShareRun::refreshLimits() {
  // A fresh process knows only the default plan limits; the quota check needs the user's.
  auto account = Resolver::resolveFromRoot<UserAccountStoreService>();
  auto failed = std::make_shared<std::atomic<bool>>(false);
  auto done = std::make_shared<std::atomic<bool>>(false);
  Resolver::resolveFromRoot<ProfileUpdateService>()->updateProfileIfNeeded(
      [done, failed](const Result<ProfileResponse>& result) {
        *failed = !result;
        *done = true;
      });
  wait([&] { return done->load(); }, kProfileLimit);
  // The profile's failure does not tell a refused token from other trouble; one request of
  // our own does.
  if (!*failed || !account->authToken()) return std::nullopt;
  auto why = ServiceProbe::whyTokenRefused(APISettings::serviceAddresses().apiBaseUrl,
                                           *account->authToken());
  if (why && *why == kTokenRefused) return why;
  return std::nullopt;
}

int ShareRun::share(const std::vector<std::string>& files, std::vector<Outcome>* outcomes) {
  // The library's share does not consult the sign-in: without it, the link would be copied and
  // the upload queued only to fail.
  std::optional<std::string> refused;
  if (!Resolver::resolveFromRoot<UserAccountStoreService>()->isLoggedIn()) {
    refused = kNotSignedIn;
  } else {
    refused = refreshLimits();
  }
  if (refused) {
    for (const auto& file : files) {
      fail(normalPath(file).string(), *refused);
      if (outcomes)
        outcomes->push_back({normalPath(file).string(), false, ShareState::unknown, refused, {}});
    }
    return finish(true);
  }
  auto urls = Resolver::resolveFromRoot<ShareURLHelperService>();
  std::map<std::string, std::optional<Url>> links;
  bool failed = false;
  std::size_t asked = 0;
  for (const auto& file : files) {
    if (Interrupt::requested()) break;
    auto capture = open(file, true);
    if (!capture) {
      failed = true;
      if (outcomes)
        outcomes->push_back(
            {normalPath(file).string(), false, ShareState::unknown, "unreadable", {}});
      continue;
    }
    const bool screencast = dynamic_cast<const Screencast*>(capture.get()) != nullptr;
    links[normalPath(file).string()] =
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
  runQueuedWork();
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
      succeed({{"file", entry.file},
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
      fail(entry.file, why, entry.state);
    }
    if (outcomes) outcomes->push_back(std::move(outcome));
  }
  return finish(failed);
}

int ShareRun::check(const std::vector<std::string>& files) {
  // The library's check reports nothing when it fails; the same HEAD request of our own, sent
  // alongside, says why and ends the wait as soon as no report can come.
  auto urls = Resolver::resolveFromRoot<ShareURLHelperService>();
  std::map<std::string, std::unique_ptr<ServiceProbe>> probes;
  bool failed = false;
  for (const auto& file : files) {
    auto capture = open(file, false);
    if (!capture) {
      failed = true;
      continue;
    }
    manager_->checkScreenCaptureRemoteState(*capture);
    if (auto url = urls->generateShareURL(*capture)) {
      probes[normalPath(file).string()] = std::make_unique<ServiceProbe>(*url, HTTPMethod::head);
    }
  }
  auto reportExpected = [&probes](const CaptureTracker::Entry& entry) {
    auto it = probes.find(entry.file);
    if (it == probes.end()) return false;  // no link: the library does not ask
    const auto answer = it->second->answer();
    return !answer || answer->why.empty() || answer->status == 403;
  };
  wait(
      [&] {
        if (Interrupt::requested()) return true;  // nothing to cancel: a check ends at once
        for (const auto& entry : tracker_->entries()) {
          if (entry.reports == 0 && reportExpected(entry)) return false;
        }
        return true;
      },
      kCheckLimit);
  cancelled_ = Interrupt::requested();
  runQueuedWork();
  for (const auto& entry : tracker_->entries()) {
    if (entry.reports == 0) {
      failed = true;
      auto it = probes.find(entry.file);
      const auto answer = it == probes.end() ? std::nullopt : it->second->answer();
      fail(entry.file, cancelled_           ? std::string("interrupted")
                       : it == probes.end() ? std::string("no share link can be made for it")
                       : !answer            ? std::string("no answer from the delivery address")
                                            : "the delivery address failed: " + answer->why);
      continue;
    }
    const bool there = entry.state == ShareState::uploaded;
    succeed({{"file", entry.file},
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
    if (auto capture = open(file, false)) {
      manager_->deleteScreenCapture(*capture);
    } else {
      failed = true;
    }
  }
  // The queue may report its first transfer after the calls return; a delete that never
  // reaches it (no link can be made) is given up after a short while.
  const auto asked = std::chrono::steady_clock::now();
  auto allDeleted = [&] {
    for (const auto& entry : tracker_->entries()) {
      if (!entry.deleted) return false;
    }
    return true;
  };
  wait(
      [&] {
        if (tracker_->queueWasBusy() && tracker_->queueCount() == 0) return true;
        if (!tracker_->queueWasBusy() &&
            std::chrono::steady_clock::now() - asked > kDeleteQueueLimit) {
          return true;
        }
        return allDeleted();
      },
      kForever);
  // The queue may count the transfer out just before its report of the delete comes in.
  wait(allDeleted, kDeleteReportGrace);
  runQueuedWork();
  for (const auto& entry : tracker_->entries()) {
    if (entry.deleted) {
      succeed({{"file", entry.file}, {"ok", true}, {"state", stateName(entry.state)}},
              "deleted  " + entry.file);
    } else {
      failed = true;
      // The library only logs a failed delete (--verbose shows it); the state tells the rest.
      fail(entry.file,
           mayBeUploaded(entry.state)
               ? "the service did not confirm the delete (state unchanged: " +
                     stateName(entry.state) + "; --verbose shows its answer)"
               : "nothing had been uploaded (state: " + stateName(entry.state) + ")",
           entry.state);
    }
  }
  return finish(failed);
}

}  // namespace lumo::cli
