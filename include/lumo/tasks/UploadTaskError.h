#pragma once

#include <optional>
#include <string>
#include <utility>

#include "lumo/Export.h"

namespace lumo {

// An error the host application may raise for a file it will not upload; the library itself
// never raises it.
//
//   Error e = UploadTaskError::unsupportedFormat("gif");
//   e.localizedDescription();   // "The format gif is not yet supported"
class LUMO_API UploadTaskError {
 public:
  enum class Kind { unsupportedFormat };

  static UploadTaskError unsupportedFormat(std::string format) {
    return UploadTaskError(Kind::unsupportedFormat, std::move(format));
  }

  Kind kind() const { return kind_; }
  // The format named by `unsupportedFormat`.
  const std::string& format() const { return format_; }

  // "The format " + the format + " is not yet supported".
  std::optional<std::string> errorDescription() const;

  friend bool operator==(const UploadTaskError&, const UploadTaskError&) = default;

 private:
  UploadTaskError(Kind kind, std::string format) : kind_(kind), format_(std::move(format)) {}

  Kind kind_;
  std::string format_;
};

LUMO_API std::string localizedDescription(const UploadTaskError& error);

}  // namespace lumo
