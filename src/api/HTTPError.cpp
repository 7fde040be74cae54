#include "lumo/api/HTTPError.h"

#include "lumo/api/JSONDecoder.h"

namespace lumo {

std::optional<std::string> HTTPError::errorDescription() const {
  switch (kind_) {
    case Kind::cancelledTask:
      return "Request is cancelled";
    case Kind::invalidResponse:
      return "Invalid response";
    case Kind::badResponse:
      break;
  }
  std::optional<nlohmann::json> object = JSONDecoder::parseObject(data_);
  if (!object) return "Bad response";
  auto it = object->find("error");
  if (it != object->end() && it->is_string()) return it->get<std::string>();
  try {
    return object->dump(2, ' ', false, nlohmann::json::error_handler_t::strict);
  } catch (const nlohmann::json::exception&) {
    return "Bad response";
  }
}

std::string localizedDescription(const HTTPError& error) {
  return error.errorDescription().value_or("Bad response");
}

}  // namespace lumo
