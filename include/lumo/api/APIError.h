#pragma once

#include <optional>
#include <string>
#include <utility>

#include "lumo/Export.h"
#include "lumo/api/ModelErrorResponse.h"

namespace lumo {

// A failure found while decoding an answer of the service.
//
//   APIError::errors(response)          a non-2xx answer whose body is {"errors": [...]}
//   APIError::schemaMismatch(text)      a body that did not decode into the expected model;
//                                       `text` is the decoding error's full description
//                                       (`DecodingError::description()`), naming the key or
//                                       type and the coding path
//
// The status code of the answer is not kept.
class LUMO_API APIError {
 public:
  enum class Kind { errors, schemaMismatch };

  static APIError errors(ModelErrorResponse response) {
    return APIError(Kind::errors, std::move(response), {});
  }
  static APIError schemaMismatch(std::string errorDescription) {
    return APIError(Kind::schemaMismatch, {}, std::move(errorDescription));
  }

  Kind kind() const { return kind_; }
  // The service's error list (case `errors`); empty otherwise.
  const ModelErrorResponse& errorResponse() const { return response_; }
  // The full decoding error description (case `schemaMismatch`); empty otherwise.
  const std::string& schemaDescription() const { return description_; }

  friend bool operator==(const APIError&, const APIError&) = default;

 private:
  APIError(Kind kind, ModelErrorResponse response, std::string description)
      : kind_(kind), response_(std::move(response)), description_(std::move(description)) {}

  Kind kind_;
  ModelErrorResponse response_;
  std::string description_;
};

// `errors`: the service's texts joined by line feeds (as the share service shows them);
// `schemaMismatch`: "The service's answer could not be read: " and the full description.
LUMO_API std::string localizedDescription(const APIError& error);

}  // namespace lumo
