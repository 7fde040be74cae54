#include "Interrupt.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace lumo::cli {
namespace {

constexpr const char* kCancelling = "\nlumo: cancelling (Ctrl-C again to quit at once)\n";

std::atomic<int> gInterrupts{0};
std::atomic<bool> gAnnounce{true};
std::atomic<const char*> gLine{kCancelling};
std::atomic<pid_t> gStopOnExit{0};
static_assert(std::atomic<bool>::is_always_lock_free, "read from a signal handler");
static_assert(std::atomic<const char*>::is_always_lock_free, "read from a signal handler");
static_assert(std::atomic<pid_t>::is_always_lock_free, "read from a signal handler");

void onSigint(int) {
  if (gInterrupts.fetch_add(1) >= 1) {
    if (const pid_t group = gStopOnExit.exchange(0); group > 0) ::kill(-group, SIGINT);
    ::_exit(130);
  }
  if (!gAnnounce.load()) return;
  const char* line = gLine.load();
  [[maybe_unused]] auto n = ::write(STDERR_FILENO, line, std::strlen(line));
}

void catchSignal(int signal) {
  struct sigaction action {};
  action.sa_handler = onSigint;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(signal, &action, nullptr);
}

}  // namespace

void Interrupt::install() {
  catchSignal(SIGINT);
}

void Interrupt::includeTerminate() {
  catchSignal(SIGTERM);
}

void Interrupt::announce(bool announce) {
  gAnnounce.store(announce);
}

void Interrupt::announceAs(const char* line) {
  gLine.store(line ? line : kCancelling);
}

bool Interrupt::requested() {
  return gInterrupts.load() > 0;
}

void Interrupt::clear() {
  gInterrupts.store(0);
}

void Interrupt::stopOnExit(pid_t group) {
  gStopOnExit.store(group);
}

pid_t Interrupt::takeStopOnExit() {
  return gStopOnExit.exchange(0);
}

}  // namespace lumo::cli
