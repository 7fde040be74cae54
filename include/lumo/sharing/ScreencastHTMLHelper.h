#pragma once

#include <string>

#include "lumo/Export.h"
#include "lumo/platform/PlatformImage.h"
#include "lumo/platform/Url.h"

namespace lumo {

// Makes the web page that a screencast's share link points to: it plays the video and carries
// Open Graph and Twitter card metadata, so that chat and social applications show a preview
// with the thumbnail.
//
//   ScreencastHTMLHelper helper;
//   std::string page = helper.createHTML("Screencast - 2023-01-05 - 2:05", videoURL,
//                                        thumbnailURL, pageURL, image.size());
//
// The page is a fixed text of 36 lines joined by "\n", without a final line feed. The title
// and the URLs' absolute strings are inserted as they are, without escaping; the thumbnail's
// width and height are written as the desktop writes doubles: the shortest digits that read
// back, always with a fractional part (1920.0, 719.5). The video's size repeats the
// thumbnail's.
class LUMO_API ScreencastHTMLHelper {
 public:
  ScreencastHTMLHelper() = default;

  std::string createHTML(const std::string& title, const Url& videoURL, const Url& thumbnailURL,
                         const Url& htmlURL, PlatformImage::Size size) const;
};

}  // namespace lumo
