#include "lumo/sharing/ScreencastHTMLHelper.h"

#include <string_view>

#include "lumo/support/DoubleDescription.h"

namespace lumo {

std::string ScreencastHTMLHelper::createHTML(const std::string& title, const Url& videoURL,
                                             const Url& thumbnailURL, const Url& htmlURL,
                                             PlatformImage::Size size) const {
  const std::string& video = videoURL.absoluteString();
  const std::string& thumbnail = thumbnailURL.absoluteString();
  const std::string& page = htmlURL.absoluteString();
  const std::string width = describeDouble(size.width);
  const std::string height = describeDouble(size.height);

  std::string html;
  html.reserve(2048 + 2 * title.size() + 3 * video.size() + 3 * thumbnail.size() + page.size());
  html += "<!DOCTYPE html>\n";
  html += "<html>\n";
  html += "  <head>\n";
  html += "    <meta content=\"text/html; charset=UTF-8\" http-equiv=\"Content-Type\">\n";
  html += "\n";
  html += "    <meta property=\"og:type\" content=\"video.other\">\n";
  html += "    <meta property=\"og:url\" content=\"" + page + "\">\n";
  html += "    <meta property=\"og:title\" content=\"" + title + "\">\n";
  html += "    <meta property=\"og:description\" content=\"\">\n";
  html += "    <meta property=\"og:image\" content=\"" + thumbnail + "\">\n";
  html += "    <meta property=\"og:image:width\" content=\"" + width + "\">\n";
  html += "    <meta property=\"og:image:height\" content=\"" + height + "\">\n";
  html += "    <meta property=\"og:site_name\" content=\"Lumo\">\n";
  html += "    <meta property=\"og:video:url\" content=\"" + video + "\">\n";
  html += "    <meta property=\"og:video:secure_url\" content=\"" + video + "\">\n";
  html += "    <meta property=\"og:video:type\" content=\"text/html\">\n";
  html += "    <meta property=\"og:video:width\" content=\"" + width + "\">\n";
  html += "    <meta property=\"og:video:height\" content=\"" + height + "\">\n";
  html += "\n";
  html += "    <meta name=\"twitter:card\" content=\"summary_large_image\">\n";
  html += "    <meta name=\"twitter:title\" content=\"" + title + "\">\n";
  html += "    <meta name=\"twitter:image\" content=\"" + thumbnail + "\">\n";
  html += "\n";
  html += "    <style type=\"text/css\">\n";
  html += "      video {\n";
  html += "        width:100%;\n";
  html += "        height:auto;\n";
  html += "      }\n";
  html += "    </style>\n";
  html += "  </head>\n";
  html += "  <body>\n";
  html += "    <video controls preload=\"auto\" poster=\"" + thumbnail + "\">\n";
  html += "      <source src=\"" + video + "\" type='video/mp4'>\n";
  html += "    </video>\n";
  html += "  </body>\n";
  html += "</html>";
  return html;
}

}  // namespace lumo
