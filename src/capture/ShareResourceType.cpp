#include "lumo/capture/ShareResourceType.h"

#include "lumo/platform/MimeTypes.h"

namespace lumo {

std::string ShareResourceType::contentType() const {
  switch (case_) {
    case Case::other:
      return MIMEType(fileExtension_).value_or("application/octet-stream");
    case Case::screenshot:
    case Case::screencastThumbnail:
      return "image/png";
    case Case::screencastVideo:
      return "video/mp4";
    case Case::screencastHTML:
      return "text/html";
    case Case::gif:
      return "image/gif";
  }
  return "application/octet-stream";
}

bool ShareResourceType::showProgress() const {
  return case_ != Case::screencastHTML && case_ != Case::screencastThumbnail;
}

std::optional<std::string> ShareResourceType::MIMEType(std::string_view fileExtension) {
  if (fileExtension.empty()) return std::nullopt;
  return MimeTypes::system().mimeType(fileExtension);
}

}  // namespace lumo
