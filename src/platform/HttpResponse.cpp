#include "lumo/platform/HttpResponse.h"

#include <charconv>

#include "HeaderFields.h"

namespace lumo {

std::optional<std::string> HttpResponse::value(std::string_view field) const {
  return detail::joinedValue(headerFields, field);
}

std::optional<std::int64_t> HttpResponse::expectedContentLength() const {
  const auto text = value("Content-Length");
  if (!text || text->empty()) return std::nullopt;
  std::int64_t length = 0;
  const auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), length);
  if (ec != std::errc() || end != text->data() + text->size() || length < 0) return std::nullopt;
  return length;
}

}  // namespace lumo
