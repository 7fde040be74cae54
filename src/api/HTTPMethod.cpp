#include "lumo/api/HTTPMethod.h"

#include <array>
#include <utility>

namespace lumo {
namespace {

constexpr std::array<std::pair<HTTPMethod, std::string_view>, 9> kWireStrings = {{
    {HTTPMethod::options, "OPTIONS"},
    {HTTPMethod::get, "GET"},
    {HTTPMethod::head, "HEAD"},
    {HTTPMethod::post, "POST"},
    {HTTPMethod::put, "PUT"},
    {HTTPMethod::patch, "PATCH"},
    {HTTPMethod::delete_, "DELETE"},
    {HTTPMethod::trace, "TRACE"},
    {HTTPMethod::connect, "CONNECT"},
}};

}  // namespace

std::string rawValue(HTTPMethod method) {
  for (const auto& [m, wire] : kWireStrings) {
    if (m == method) return std::string(wire);
  }
  return "GET";
}

std::optional<HTTPMethod> httpMethodFromRawValue(std::string_view raw) {
  for (const auto& [m, wire] : kWireStrings) {
    if (wire == raw) return m;
  }
  return std::nullopt;
}

}  // namespace lumo
