#include "lumo/capture/Thread.h"

#include <utility>

#include "lumo/support/DispatchQueue.h"

namespace lumo {

void Thread::runOnMainThread(std::function<void()> work) {
  if (DispatchQueue::isMainThread()) {
    work();
  } else {
    DispatchQueue::main().async(std::move(work));
  }
}

}  // namespace lumo
