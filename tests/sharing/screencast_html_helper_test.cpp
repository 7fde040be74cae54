#include <gtest/gtest.h>

#include "lumo/sharing/ScreencastHTMLHelper.h"

namespace lumo {
namespace {

Url url(const char* text) {
  return *Url::parse(text);
}

// Titles and links go in as they are, unescaped.
TEST(ScreencastHTMLHelper, WritesThePageByteForByte) {
  const std::string title = "a \"quoted\" <b>title</b> & 'more' é";
  const std::string expected =
      "<!DOCTYPE html>\n"
      "<html>\n"
      "  <head>\n"
      "    <meta content=\"text/html; charset=UTF-8\" http-equiv=\"Content-Type\">\n"
      "\n"
      "    <meta property=\"og:type\" content=\"video.other\">\n"
      "    <meta property=\"og:url\" content=\"https://cdn.example.com/vx%20y.mov\">\n"
      "    <meta property=\"og:title\" content=\"" +
      title +
      "\">\n"
      "    <meta property=\"og:description\" content=\"\">\n"
      "    <meta property=\"og:image\" content=\"https://cdn.example.com/t.png?a=1&b=2\">\n"
      "    <meta property=\"og:image:width\" content=\"1920.0\">\n"
      "    <meta property=\"og:image:height\" content=\"1080.0\">\n"
      "    <meta property=\"og:site_name\" content=\"Lumo\">\n"
      "    <meta property=\"og:video:url\" content=\"https://cdn.example.com/x%20y.mov\">\n"
      "    <meta property=\"og:video:secure_url\" content=\"https://cdn.example.com/x%20y.mov\">\n"
      "    <meta property=\"og:video:type\" content=\"text/html\">\n"
      "    <meta property=\"og:video:width\" content=\"1920.0\">\n"
      "    <meta property=\"og:video:height\" content=\"1080.0\">\n"
      "\n"
      "    <meta name=\"twitter:card\" content=\"summary_large_image\">\n"
      "    <meta name=\"twitter:title\" content=\"" +
      title +
      "\">\n"
      "    <meta name=\"twitter:image\" content=\"https://cdn.example.com/t.png?a=1&b=2\">\n"
      "\n"
      "    <style type=\"text/css\">\n"
      "      video {\n"
      "        width:100%;\n"
      "        height:auto;\n"
      "      }\n"
      "    </style>\n"
      "  </head>\n"
      "  <body>\n"
      "    <video controls preload=\"auto\" poster=\"https://cdn.example.com/t.png?a=1&b=2\">\n"
      "      <source src=\"https://cdn.example.com/x%20y.mov\" type='video/mp4'>\n"
      "    </video>\n"
      "  </body>\n"
      "</html>";
  EXPECT_EQ(
      ScreencastHTMLHelper().createHTML(title, url("https://cdn.example.com/x%20y.mov"),
                                        url("https://cdn.example.com/t.png?a=1&b=2"),
                                        url("https://cdn.example.com/vx%20y.mov"), {1920, 1080}),
      expected);
}

// Sizes are written as the desktop writes doubles.
TEST(ScreencastHTMLHelper, WritesSizesAsTheDesktopWritesDoubles) {
  for (const auto& [value, text] : {std::pair{719.5, "719.5"},
                                    {1.0 / 3, "0.3333333333333333"},
                                    {1e15, "1000000000000000.0"},
                                    {1e-5, "1e-05"},
                                    {3e16, "3e+16"}}) {
    const std::string page = ScreencastHTMLHelper().createHTML(
        "t", url("https://h/v.mp4"), url("https://h/t.png"), url("https://h/vv.mp4"), {value, 7});
    EXPECT_NE(page.find("og:image:width\" content=\"" + std::string(text) + "\">"),
              std::string::npos)
        << value;
  }
}

}  // namespace
}  // namespace lumo
