#pragma once

#include <cstdint>

#include "lumo/Export.h"

namespace lumo {

class UploadQueue;

// Host-supplied: hears every change of the number of transfers in an `UploadQueue` (set it as
// the queue's `delegate`, held weakly).
//
// Called on whatever thread made the change: the thread that queued a task, or the one on which
// a task finished. Hop to your own queue when needed.
class LUMO_API UploadQueueDelegate {
 public:
  virtual ~UploadQueueDelegate() = default;

  virtual void uploadQueue(UploadQueue& queue, std::int64_t operationCountChanged) = 0;
};

}  // namespace lumo
