#pragma once

#include <functional>

#include "lumo/Export.h"

namespace lumo {

// Work for the application's main thread.
class LUMO_API Thread {
 public:
  // Runs `work` at once when called on the main thread (the thread running
  // `DispatchQueue::main()`'s items); otherwise submits it to the main queue and returns.
  //
  //   Thread::runOnMainThread([=] { view->setProgress(p); });
  static void runOnMainThread(std::function<void()> work);

  Thread() = delete;
};

}  // namespace lumo
