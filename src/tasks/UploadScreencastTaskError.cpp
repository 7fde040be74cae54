#include "lumo/tasks/UploadScreencastTaskError.h"

namespace lumo {

std::string localizedDescription(UploadScreencastTaskError error) {
  return "The operation couldn't be completed. (LumoShared.UploadScreencastTaskError error " +
         std::to_string(static_cast<int>(error)) + ".)";
}

}  // namespace lumo
