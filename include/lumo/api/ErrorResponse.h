#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "lumo/Export.h"
#include "lumo/support/Error.h"

namespace lumo {

// A status code, an optional body and an underlying error carried together, for hosts that want
// all three in one value. The API client itself reports `HTTPError`, `APIError` or the
// transport error and never produces this type.
class LUMO_API ErrorResponse {
 public:
  static ErrorResponse error(int statusCode, std::optional<std::vector<std::uint8_t>> data,
                             Error underlying) {
    return ErrorResponse(statusCode, std::move(data), std::move(underlying));
  }

  int statusCode() const { return statusCode_; }
  const std::optional<std::vector<std::uint8_t>>& data() const { return data_; }
  const Error& underlyingError() const { return error_; }

 private:
  ErrorResponse(int statusCode, std::optional<std::vector<std::uint8_t>> data, Error error)
      : statusCode_(statusCode), data_(std::move(data)), error_(std::move(error)) {}

  int statusCode_;
  std::optional<std::vector<std::uint8_t>> data_;
  Error error_;
};

}  // namespace lumo
