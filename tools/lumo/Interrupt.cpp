#include "Interrupt.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>

namespace lumo::cli {
namespace {

std::atomic<int> gInterrupts{0};
std::atomic<bool> gAnnounce{true};
static_assert(std::atomic<bool>::is_always_lock_free, "read from a signal handler");

void onSigint(int) {
  if (gInterrupts.fetch_add(1) >= 1) ::_exit(130);
  if (!gAnnounce.load()) return;
  static const char message[] = "\nlumo: cancelling (Ctrl-C again to quit at once)\n";
  [[maybe_unused]] auto n = ::write(STDERR_FILENO, message, sizeof message - 1);
}

}  // namespace

void Interrupt::install() {
  struct sigaction action {};
  action.sa_handler = onSigint;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGINT, &action, nullptr);
}

void Interrupt::announce(bool announce) {
  gAnnounce.store(announce);
}

bool Interrupt::requested() {
  return gInterrupts.load() > 0;
}

}  // namespace lumo::cli
