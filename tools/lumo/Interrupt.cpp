#include "Interrupt.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>

namespace lumo::cli {
namespace {

std::atomic<int> gInterrupts{0};

void onSigint(int) {
  if (gInterrupts.fetch_add(1) >= 1) ::_exit(130);
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

bool Interrupt::requested() {
  return gInterrupts.load() > 0;
}

}  // namespace lumo::cli
