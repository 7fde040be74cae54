#include "lumo/platform/HttpRequest.h"

#include "HeaderFields.h"

namespace lumo {

void HttpRequest::setValue(std::string value, std::string_view field) {
  std::erase_if(headerFields,
                [&](const auto& entry) { return detail::equalsIgnoringCase(entry.first, field); });
  headerFields.emplace_back(std::string(field), std::move(value));
}

std::optional<std::string> HttpRequest::value(std::string_view field) const {
  return detail::joinedValue(headerFields, field);
}

}  // namespace lumo
