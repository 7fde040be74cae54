#include "lumo/capture/ScreenCaptureUrl.h"

#include <string_view>

namespace lumo {

std::string relativeScreenCapturePath(const Url& url) {
  std::string path = url.path();  // not const: returned as is, it should move
  constexpr std::string_view kDocuments = "Documents";
  const auto last = path.rfind(kDocuments);
  if (last == std::string::npos) return path;
  return path.substr(last + kDocuments.size());
}

std::optional<std::map<std::string, std::string>> queryParameters(const Url& url) {
  if (!url.query()) return std::nullopt;
  std::map<std::string, std::string> parameters;
  for (const auto& item : url.queryItems()) {
    if (item.value) {
      parameters[item.name] = *item.value;
    } else {
      parameters.erase(item.name);
    }
  }
  return parameters;
}

}  // namespace lumo
