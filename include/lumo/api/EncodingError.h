#pragma once

#include <string>
#include <utility>

#include "lumo/Export.h"

namespace lumo {

// Why a model could not be encoded as JSON. The one case is a value JSON cannot carry (text
// that is not UTF-8, which Linux file names may be).
class LUMO_API EncodingError {
 public:
  explicit EncodingError(std::string debugDescription)
      : debugDescription_(std::move(debugDescription)) {}

  const std::string& debugDescription() const { return debugDescription_; }

  friend bool operator==(const EncodingError&, const EncodingError&) = default;

 private:
  std::string debugDescription_;
};

inline std::string localizedDescription(const EncodingError& e) {
  return "The data couldn't be written because it isn't in the correct format. (" +
         e.debugDescription() + ")";
}

}  // namespace lumo
