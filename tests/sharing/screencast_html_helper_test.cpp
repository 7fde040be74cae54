#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lumo/sharing/ScreencastHTMLHelper.h"

namespace lumo {
namespace {

Url url(const char* text) {
  return *Url::parse(text);
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::string::size_type start = 0;
  while (true) {
    auto end = text.find('\n', start);
    result.push_back(text.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return result;
}

TEST(ScreencastHTMLHelper, WritesThePageByteForByte) {
  const std::string expected =
      "<!DOCTYPE html>\n"
      "<html>\n"
      "  <head>\n"
      "    <meta content=\"text/html; charset=UTF-8\" http-equiv=\"Content-Type\">\n"
      "\n"
      "    <meta property=\"og:type\" content=\"video.other\">\n"
      "    <meta property=\"og:url\" content=\"https://cdn.example.com/vabc.mp4\">\n"
      "    <meta property=\"og:title\" content=\"Screencast - 2023-01-05 - 2:05\">\n"
      "    <meta property=\"og:description\" content=\"\">\n"
      "    <meta property=\"og:image\" content=\"https://cdn.example.com/abc.png\">\n"
      "    <meta property=\"og:image:width\" content=\"1920.0\">\n"
      "    <meta property=\"og:image:height\" content=\"1080.0\">\n"
      "    <meta property=\"og:site_name\" content=\"Lumo\">\n"
      "    <meta property=\"og:video:url\" content=\"https://cdn.example.com/abc.mp4\">\n"
      "    <meta property=\"og:video:secure_url\" content=\"https://cdn.example.com/abc.mp4\">\n"
      "    <meta property=\"og:video:type\" content=\"text/html\">\n"
      "    <meta property=\"og:video:width\" content=\"1920.0\">\n"
      "    <meta property=\"og:video:height\" content=\"1080.0\">\n"
      "\n"
      "    <meta name=\"twitter:card\" content=\"summary_large_image\">\n"
      "    <meta name=\"twitter:title\" content=\"Screencast - 2023-01-05 - 2:05\">\n"
      "    <meta name=\"twitter:image\" content=\"https://cdn.example.com/abc.png\">\n"
      "\n"
      "    <style type=\"text/css\">\n"
      "      video {\n"
      "        width:100%;\n"
      "        height:auto;\n"
      "      }\n"
      "    </style>\n"
      "  </head>\n"
      "  <body>\n"
      "    <video controls preload=\"auto\" poster=\"https://cdn.example.com/abc.png\">\n"
      "      <source src=\"https://cdn.example.com/abc.mp4\" type='video/mp4'>\n"
      "    </video>\n"
      "  </body>\n"
      "</html>";
  ScreencastHTMLHelper helper;
  EXPECT_EQ(
      helper.createHTML("Screencast - 2023-01-05 - 2:05", url("https://cdn.example.com/abc.mp4"),
                        url("https://cdn.example.com/abc.png"),
                        url("https://cdn.example.com/vabc.mp4"), {1920, 1080}),
      expected);
}

TEST(ScreencastHTMLHelper, InsertsTitlesAndURLsUnescaped) {
  ScreencastHTMLHelper helper;
  const std::string title = "a \"quoted\" <b>title</b> & 'more' é";
  std::string page = helper.createHTML(title, url("https://cdn.example.com/x%20y.mov"),
                                       url("https://cdn.example.com/t.png?a=1&b=2"),
                                       url("https://cdn.example.com/vx%20y.mov"), {640, 360});
  auto l = lines(page);
  ASSERT_EQ(l.size(), 36u);
  EXPECT_EQ(l[7], "    <meta property=\"og:title\" content=\"" + title + "\">");
  EXPECT_EQ(l[20], "    <meta name=\"twitter:title\" content=\"" + title + "\">");
  EXPECT_EQ(l[6], "    <meta property=\"og:url\" content=\"https://cdn.example.com/vx%20y.mov\">");
  EXPECT_EQ(
      l[31],
      "    <video controls preload=\"auto\" poster=\"https://cdn.example.com/t.png?a=1&b=2\">");
  EXPECT_EQ(l[32], "      <source src=\"https://cdn.example.com/x%20y.mov\" type='video/mp4'>");
}

TEST(ScreencastHTMLHelper, WritesSizesAsTheDesktopWritesDoubles) {
  struct Case {
    double value;
    const char* text;
  };
  const Case cases[] = {
      {1280, "1280.0"},
      {719.5, "719.5"},
      {0.5, "0.5"},
      {0, "0.0"},
      {0.1, "0.1"},
      {1.0 / 3, "0.3333333333333333"},
      {1e15, "1000000000000000.0"},
      {1e-5, "1e-05"},
      {3e16, "3e+16"},
      {2.5e-7, "2.5e-07"},
  };
  ScreencastHTMLHelper helper;
  for (const auto& c : cases) {
    auto l = lines(helper.createHTML("t", url("https://h/v.mp4"), url("https://h/t.png"),
                                     url("https://h/vv.mp4"), {c.value, 7}));
    ASSERT_EQ(l.size(), 36u);
    EXPECT_EQ(l[10],
              std::string("    <meta property=\"og:image:width\" content=\"") + c.text + "\">")
        << c.value;
    EXPECT_EQ(l[16],
              std::string("    <meta property=\"og:video:width\" content=\"") + c.text + "\">")
        << c.value;
    EXPECT_EQ(l[11], "    <meta property=\"og:image:height\" content=\"7.0\">");
    EXPECT_EQ(l[17], "    <meta property=\"og:video:height\" content=\"7.0\">");
  }
}

}  // namespace
}  // namespace lumo
