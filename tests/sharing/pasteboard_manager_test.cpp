#include <gtest/gtest.h>

#include "lumo/platform/Clipboard.h"
#include "lumo/sharing/PasteboardManager.h"

namespace lumo {
namespace {

TEST(PasteboardManager, PutsTheLinkTextOnTheClipboardAndAlwaysSaysSo) {
  Clipboard clipboard({"", "", ""});  // no display: the clipboard keeps the text itself
  PasteboardManager pasteboard(clipboard);

  EXPECT_TRUE(pasteboard.copyToPasteBoard(*Url::parse("https://cdn.example.com/a b.png")));
  EXPECT_EQ(clipboard.memoryText(), "https://cdn.example.com/a%20b.png");
  EXPECT_TRUE(pasteboard.copyToPasteBoard(*Url::parse("https://cdn.example.com/vabc.mp4")));
  EXPECT_EQ(clipboard.memoryText(), "https://cdn.example.com/vabc.mp4");
}

}  // namespace
}  // namespace lumo
