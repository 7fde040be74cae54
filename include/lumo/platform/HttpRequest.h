#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "lumo/Export.h"
#include "lumo/platform/Url.h"

namespace lumo {

// An HTTP request: what a data task or an upload task sends.
//
//   HttpRequest request(url, "POST");
//   request.setValue("application/json", "Content-Type");
//   request.body = bytes;
//   session->dataTask(std::move(request), completion)->resume();
//
// Header fields are sent in the order given, after the session's additional header fields
// that the request does not set itself. No Content-Type is added for a body: set it. "HEAD"
// asks for the header only; "GET" and "HEAD" send no body even when one is set.
struct LUMO_API HttpRequest {
  explicit HttpRequest(Url url, std::string method = "GET")
      : url(std::move(url)), method(std::move(method)) {}

  Url url;
  std::string method;
  // Name and value pairs in the order they are sent.
  std::vector<std::pair<std::string, std::string>> headerFields;
  // The body of a data task; an upload task takes its body separately.
  std::optional<std::vector<std::uint8_t>> body;
  // The idle timeout of this request: the transfer fails with the "timed out" error when
  // nothing moves for this long. The session's `timeoutIntervalForRequest` when absent.
  std::optional<std::chrono::seconds> timeoutInterval;

  // Sets the header field `field` to `value`, replacing every earlier value of that field
  // (names compare case-insensitively).
  void setValue(std::string value, std::string_view field);
  // Adds a value for `field` after the existing ones.
  void addValue(std::string value, std::string field) {
    headerFields.emplace_back(std::move(field), std::move(value));
  }
  // The value of `field` (case-insensitive); several values are joined with ", ".
  std::optional<std::string> value(std::string_view field) const;
};

}  // namespace lumo
