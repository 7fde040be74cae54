#include "lumo/tasks/NetworkTask.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdint>
#include <mutex>
#include <random>

namespace lumo {
namespace {

// A random (version 4) UUID in the desktop's text form: upper case, with hyphens.
std::string makeUUID() {
  std::uint8_t bytes[16];
  std::size_t filled = 0;
  while (filled < sizeof bytes) {
    ssize_t n = ::getrandom(bytes + filled, sizeof bytes - filled, 0);
    if (n > 0) {
      filled += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
      break;
    }
  }
  if (filled < sizeof bytes) {
    std::random_device device;
    for (auto& byte : bytes) byte = static_cast<std::uint8_t>(device());
  }
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0f) | 0x40);
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3f) | 0x80);
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(36);
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    text += kHex[bytes[i] >> 4];
    text += kHex[bytes[i] & 0xf];
  }
  return text;
}

}  // namespace

NetworkTask::NetworkTask() : id_(makeUUID()) {}

bool NetworkTask::isExecuting() const {
  std::lock_guard lock(isExecutingLock_);
  return isExecuting_;
}

bool NetworkTask::isFinished() const {
  std::lock_guard lock(isFinishedLock_);
  return isFinished_;
}

void NetworkTask::setExecuting(bool executing) {
  willChangeValue("isExecuting");
  {
    std::lock_guard lock(isExecutingLock_);
    isExecuting_ = executing;
  }
  didChangeValue("isExecuting");
}

void NetworkTask::setFinished(bool finished) {
  if (finishedTarget_.exchange(finished, std::memory_order_acq_rel) == finished) return;
  willChangeValue("isFinished");
  {
    std::lock_guard lock(isFinishedLock_);
    isFinished_ = finished;
  }
  didChangeValue("isFinished");
}

void NetworkTask::start() {
  if (isExecuting()) {
    _logService->debug("Can't start the task that is already being executing.");
    return;
  }
  if (isFinished()) {
    _logService->debug("Can't start the task that has already finished.");
    return;
  }
  setExecuting(true);
}

}  // namespace lumo
