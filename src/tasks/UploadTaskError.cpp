#include "lumo/tasks/UploadTaskError.h"

namespace lumo {

std::optional<std::string> UploadTaskError::errorDescription() const {
  switch (kind_) {
    case Kind::unsupportedFormat:
      return "The format " + format_ + " is not yet supported";
  }
  return std::nullopt;
}

std::string localizedDescription(const UploadTaskError& error) {
  return error.errorDescription().value_or("");
}

}  // namespace lumo
