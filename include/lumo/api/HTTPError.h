#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "lumo/Export.h"

namespace lumo {

// An HTTP-level failure of an exchange.
//
//   HTTPError::badResponse(404, body)  the server answered outside 200...299
//   HTTPError::cancelledTask()         the data task was cancelled
//   HTTPError::invalidResponse()       the exchange ended without error and without a response
//
// Every status outside 200...299 is a bad response: 1xx, 3xx, 401 and 5xx alike. Nothing here
// reacts to a 401; the host decides whether to post "APIReceiveUnauthStatusCode".
class LUMO_API HTTPError {
 public:
  enum class Kind { badResponse, cancelledTask, invalidResponse };

  static HTTPError badResponse(std::int64_t statusCode,
                               std::optional<std::vector<std::uint8_t>> data) {
    return HTTPError(Kind::badResponse, statusCode, std::move(data));
  }
  static HTTPError cancelledTask() { return HTTPError(Kind::cancelledTask, 0, {}); }
  static HTTPError invalidResponse() { return HTTPError(Kind::invalidResponse, 0, {}); }

  Kind kind() const { return kind_; }
  // The status of a bad response; 0 for the other cases.
  std::int64_t statusCode() const { return statusCode_; }
  // The body of a bad response, when the server sent one.
  const std::optional<std::vector<std::uint8_t>>& data() const { return data_; }

  // The text for people:
  // - cancelled: "Request is cancelled"; invalid response: "Invalid response";
  // - a bad response without a body, or whose body is not a JSON object: "Bad response";
  // - a bad response whose JSON object holds text under "error": that text;
  // - any other JSON object: the object, pretty-printed.
  std::optional<std::string> errorDescription() const;

  friend bool operator==(const HTTPError&, const HTTPError&) = default;

 private:
  HTTPError(Kind kind, std::int64_t statusCode, std::optional<std::vector<std::uint8_t>>&& data)
      : kind_(kind), statusCode_(statusCode), data_(taken(std::move(data))) {}

  // Moves the bytes out only when there are some: moving a disengaged optional vector makes
  // g++ 12 warn (-Wmaybe-uninitialized) in optimised builds.
  static std::optional<std::vector<std::uint8_t>> taken(
      std::optional<std::vector<std::uint8_t>>&& data) {
    if (!data) return std::nullopt;
    return std::optional<std::vector<std::uint8_t>>(std::move(*data));
  }

  Kind kind_;
  std::int64_t statusCode_;
  std::optional<std::vector<std::uint8_t>> data_;
};

LUMO_API std::string localizedDescription(const HTTPError& error);

}  // namespace lumo
