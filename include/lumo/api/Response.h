#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include "lumo/platform/HttpResponse.h"

namespace lumo {

// An envelope of a decoded answer: status, header fields and the decoded body, for hosts that
// want them together. The API client's own calls hand out the decoded model alone.
template <typename Body>
class Response {
 public:
  Response(std::int64_t statusCode, std::map<std::string, std::string> header,
           std::optional<Body> body)
      : statusCode_(statusCode), header_(std::move(header)), body_(std::move(body)) {}

  // Copies the status and every header field of `response` (repeated fields joined with ", ",
  // as the desktop's header dictionary does).
  Response(const HttpResponse& response, std::optional<Body> body)
      : statusCode_(response.statusCode), body_(std::move(body)) {
    for (const auto& field : response.headerFields) {
      if (!header_.contains(field.first)) {
        header_[field.first] = response.value(field.first).value_or(field.second);
      }
    }
  }

  std::int64_t statusCode() const { return statusCode_; }
  const std::map<std::string, std::string>& header() const { return header_; }
  const std::optional<Body>& body() const { return body_; }

 private:
  std::int64_t statusCode_;
  std::map<std::string, std::string> header_;
  std::optional<Body> body_;
};

}  // namespace lumo
