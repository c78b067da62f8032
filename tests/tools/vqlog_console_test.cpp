// Text made safe for a terminal and measured in columns, as the ls table
// uses it.
#include <gtest/gtest.h>

#include <string>

#include "console.h"

namespace {

TEST(TerminalTextTest, ControlsOverridesAndBadBytesAreShownNotObeyed) {
  const struct {
    std::string text, safe;
    size_t width;  // of the safe text
  } kCases[] = {
      {"plain", "plain", 5},
      {"caf\xC3\xA9", "caf\xC3\xA9", 4},
      {"\xE6\x97\xA5\xE6\x9C\xAC", "\xE6\x97\xA5\xE6\x9C\xAC", 4},   // wide characters
      {"e\xCC\x81", "e\xCC\x81", 1},                                   // a combining accent
      {"a\x1B[31mb", "a\\x1B[31mb", 10},
      {"tab\there\n", "tab\\x09here\\x0A", 15},
      {"\x7F", "\\x7F", 4},
      {"\xC2\x9B" "31m", "\\u{009B}31m", 11},                          // C1 CSI as a character
      {"\x9B" "31m", "\\x9B31m", 7},                                   // and as a raw byte
      {"\xE2\x80\xAE" "txt.exe", "\\u{202E}txt.exe", 15},              // right-to-left override
      {"\xE2\x81\xA6x", "\\u{2066}x", 9},                              // left-to-right isolate
      {"\xC0\xAF", "\\xC0\\xAF", 8},                                   // overlong '/'
      {"\xED\xA0\x80", "\\xED\\xA0\\x80", 12},                         // a surrogate
      {"\xF4\x90\x80\x80", "\\xF4\\x90\\x80\\x80", 16},                // past U+10FFFF
      {"cut \xE2\x9C", "cut \\xE2\\x9C", 12},                          // a character cut short
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(vqlog::TerminalSafe(c.text), c.safe) << c.safe;
    EXPECT_EQ(vqlog::DisplayWidth(vqlog::TerminalSafe(c.text)), c.width) << c.safe;
  }
}

}  // namespace
