#include "lumo/api/APIError.h"

namespace lumo {

std::string localizedDescription(const APIError& error) {
  if (error.kind() == APIError::Kind::schemaMismatch) {
    return "The service's answer could not be read: " + error.schemaDescription();
  }
  std::string text;
  for (const std::string& line : error.errorResponse().errors) {
    if (!text.empty()) text += '\n';
    text += line;
  }
  return text;
}

}  // namespace lumo
