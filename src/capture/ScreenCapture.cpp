#include "lumo/capture/ScreenCapture.h"

#include "lumo/capture/CamelCaseToWords.h"
#include "lumo/capture/HashGenerator.h"
#include "lumo/capture/SharedDateFormatter.h"
#include "lumo/platform/FileManager.h"

namespace lumo {

std::optional<ScreenCapture::Date> ScreenCapture::date() const {
  return FileManager::defaultManager().contentModificationDate(fileURL().filePath());
}

std::string ScreenCapture::formattedDate() const {
  auto modified = date();
  if (!modified) return {};
  return SharedDateFormatter::shared().string(*modified);
}

std::optional<std::string> ScreenCapture::hashValue() const {
  return HashGenerator::cachedHashValue(fileURL());
}

std::string ScreenCapture::fileExtension() const {
  const std::string path = fileURL().path();
  const auto dot = path.rfind('.');
  return dot == std::string::npos ? path : path.substr(dot + 1);
}

std::string ScreenCapture::typeName() const {
  return camelCaseToWords(kindName());
}

std::optional<std::int64_t> ScreenCapture::fileSize() const {
  return FileManager::defaultManager().fileSize(fileURL().filePath());
}

}  // namespace lumo
