// Narrow-to-UTF-8 conversion (ConvertAnsiToUtf8) and the platform's UTF-16
// conversions. Narrow text is code page 1252 on Windows (wine's default) and
// UTF-8 on POSIX, so the non-ASCII cases differ by platform by design.
#include "core/record_layout.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/test_support.h"

namespace vqlogger {
namespace {

struct ConversionCase {
  const char* narrow;
  const char* utf8;
};

// Converts with a roomy buffer; "<failed>" when the conversion fails.
std::string Convert(const std::string& narrow) {
  std::vector<char> out(narrow.size() * 4 + 8, 'Z');
  if (!ConvertAnsiToUtf8(narrow.c_str(), out.data(), static_cast<int>(out.size()))) {
    return "<failed>";
  }
  return out.data();
}

TEST(TextConversionTest, AsciiPassesUnchanged) {
  const char* cases[] = {"", "a", "plain ASCII text 0123456789", "tab\there\r\n", "\x01\x1b\x7f"};
  for (const char* text : cases) EXPECT_EQ(Convert(text), text);
}

#ifdef _WIN32
TEST(TextConversionTest, CodePage1252BecomesUtf8) {
  VQTEST_REQUIRE_DEFAULT_NARROW_TEXT();
  const ConversionCase cases[] = {
      {"\xE9", "\xC3\xA9"},
      {"caf\xE9.c", "caf\xC3\xA9.c"},
      {"\x80", "\xE2\x82\xAC"},
      {"\xFF", "\xC3\xBF"},
      {"\xA0\xA9", "\xC2\xA0\xC2\xA9"},
      // UTF-8 bytes are just 1252 characters here: converted one by one.
      {"\xC3\xA9", "\xC3\x83\xC2\xA9"},
  };
  for (const ConversionCase& c : cases) EXPECT_EQ(Convert(c.narrow), c.utf8) << c.narrow;
}
#else
TEST(TextConversionTest, WellFormedUtf8PassesUnchanged) {
  const char* cases[] = {
      "\xC3\xA9",          "caf\xC3\xA9.c",       "\xE2\x82\xAC",      "\xF0\x9F\x98\x80",
      "\xEF\xBF\xBF",      "\xF4\x8F\xBF\xBF",    "\xED\x9F\xBF",      "\xEE\x80\x80",
      "\xC2\x80",          "\xE0\xA0\x80",        "\xF0\x90\x80\x80",
  };
  for (const char* text : cases) EXPECT_EQ(Convert(text), text);
}

// Each maximal ill-formed subsequence becomes one U+FFFD (EF BF BD).
TEST(TextConversionTest, IllFormedUtf8BecomesReplacementCharacters) {
#define R "\xEF\xBF\xBD"
  const ConversionCase cases[] = {
      {"\xE9", R},
      {"caf\xE9.c", "caf" R ".c"},
      {"\xF0\x9F\x98", R},                  // truncated four-byte sequence
      {"\xF0\x9F\x98x", R "x"},
      {"\xE2\x82", R},                      // truncated three-byte sequence
      {"\xE2\x82\xE2\x82\xAC", R "\xE2\x82\xAC"},
      {"\xED\xA0\x80", R R R},              // encoded surrogate
      {"\xC0\xAF", R R},                    // overlong
      {"\xE0\x80\x80", R R R},              // overlong
      {"\xF4\x90\x80\x80", R R R R},        // above U+10FFFF
      {"\xF5\x80", R R},
      {"\x80\xBF", R R},                    // lone continuation bytes
      {"\xFE\xFF", R R},
      {"a\xC3", "a" R},
  };
#undef R
  for (const ConversionCase& c : cases) EXPECT_EQ(Convert(c.narrow), c.utf8) << c.narrow;
}
#endif

TEST(TextConversionTest, ConvertsInPlace) {
  VQTEST_REQUIRE_DEFAULT_NARROW_TEXT();
#ifdef _WIN32
  char buffer[32] = "x\xE9y\x80";
  const std::string expected = "x\xC3\xA9y\xE2\x82\xAC";
#else
  char buffer[32] = "x\xE9y\xE2\x82\xAC";
  const std::string expected = "x\xEF\xBF\xBDy\xE2\x82\xAC";
#endif
  ASSERT_TRUE(ConvertAnsiToUtf8(buffer, buffer, sizeof buffer));
  EXPECT_EQ(std::string(buffer), expected);

  char ascii[] = "same text";
  ASSERT_TRUE(ConvertAnsiToUtf8(ascii, ascii, sizeof ascii));
  EXPECT_EQ(std::string(ascii), "same text");
}

// The converted text with its zero must fit `capacity` exactly.
TEST(TextConversionTest, CapacityCountsTheConvertedTextAndItsZero) {
  VQTEST_REQUIRE_DEFAULT_NARROW_TEXT();
#ifdef _WIN32
  const std::string e9_utf8 = "\xC3\xA9";
#else
  const std::string e9_utf8 = "\xEF\xBF\xBD";
#endif
  // A text over the line capacity takes the heap path of the conversion.
  const std::string long_text(3000, '\xE9');
  std::string long_utf8;
  for (size_t i = 0; i < long_text.size(); ++i) long_utf8 += e9_utf8;

  struct Case {
    std::string narrow;
    std::string utf8;
  };
  const Case cases[] = {
      {"abc", "abc"},
      {"", ""},
      {"\xE9", e9_utf8},
      {"ab\xE9", "ab" + e9_utf8},
      {long_text, long_utf8},
  };
  for (const Case& c : cases) {
    int exact = static_cast<int>(c.utf8.size() + 1);
    std::vector<char> out(static_cast<size_t>(exact));
    ASSERT_TRUE(ConvertAnsiToUtf8(c.narrow.c_str(), out.data(), exact)) << c.narrow.size();
    EXPECT_EQ(std::string(out.data()), c.utf8);
    EXPECT_FALSE(ConvertAnsiToUtf8(c.narrow.c_str(), out.data(), exact - 1)) << c.narrow.size();
  }
}

TEST(TextConversionTest, NullPointersAndNoCapacityFail) {
  char out[8];
  EXPECT_FALSE(ConvertAnsiToUtf8(nullptr, out, sizeof out));
  EXPECT_FALSE(ConvertAnsiToUtf8("abc", nullptr, 8));
  EXPECT_FALSE(ConvertAnsiToUtf8(nullptr, nullptr, 8));
  EXPECT_FALSE(ConvertAnsiToUtf8("", out, 0));
}

// UTF-16 to UTF-8 and to the narrow code page: surrogate pairs combine, lone
// surrogates become U+FFFD (or the code page's default character).
TEST(TextConversionTest, WideTextWithSurrogates) {
  struct Case {
    std::u16string wide;
    std::string utf8;
  };
  const Case cases[] = {
      {u"abc", "abc"},
      {u"", ""},
      {u"\u00E9\u20AC", "\xC3\xA9\xE2\x82\xAC"},
      {{0xD83D, 0xDE00}, "\xF0\x9F\x98\x80"},
      {{0xDBFF, 0xDFFF}, "\xF4\x8F\xBF\xBF"},
      {{0xD800}, "\xEF\xBF\xBD"},
      {{0xDC00, u'a'}, "\xEF\xBF\xBD" "a"},
      {{0xD800, u'a'}, "\xEF\xBF\xBD" "a"},
      {{0xDE00, 0xD83D}, "\xEF\xBF\xBD\xEF\xBF\xBD"},
  };
  for (const Case& c : cases) {
    int exact = static_cast<int>(c.utf8.size() + 1);
    std::vector<char> out(static_cast<size_t>(exact));
    ASSERT_EQ(platform::WideToUtf8(c.wide.c_str(), out.data(), exact), exact) << c.utf8;
    EXPECT_EQ(std::string(out.data()), c.utf8);
    EXPECT_EQ(platform::WideToUtf8(c.wide.c_str(), out.data(), exact - 1), 0) << c.utf8;
#ifndef _WIN32
    // Narrow text is UTF-8 here.
    ASSERT_EQ(platform::WideToAnsi(c.wide.c_str(), out.data(), exact), exact) << c.utf8;
    EXPECT_EQ(std::string(out.data()), c.utf8);
    EXPECT_EQ(platform::WideToAnsi(c.wide.c_str(), out.data(), exact - 1), 0) << c.utf8;
#endif
  }
#ifdef _WIN32
  if (vqtest::AnsiCodePage() != 1252) return;
  // Code page 1252 has é and the euro sign; the rest becomes '?'.
  char narrow[16];
  const std::u16string latin = u"\u00E9\u20AC";
  ASSERT_EQ(platform::WideToAnsi(latin.c_str(), narrow, sizeof narrow), 3);
  EXPECT_EQ(std::string(narrow), "\xE9\x80");
  const std::u16string lone = {u'a', 0xD800, u'b'};
  ASSERT_NE(platform::WideToAnsi(lone.c_str(), narrow, sizeof narrow), 0);
  EXPECT_EQ(std::string(narrow), "a?b");
#endif
}

TEST(TextConversionTest, AnsiToWideCountsUnits) {
  VQTEST_REQUIRE_DEFAULT_NARROW_TEXT();
#ifdef _WIN32
  const char* narrow = "a\xE9\x80";
  const std::u16string wide = u"a\u00E9\u20AC";
#else
  const char* narrow = "a\xC3\xA9\xF0\x9F\x98\x80\xE9";
  const std::u16string wide = {u'a', 0xE9, 0xD83D, 0xDE00, 0xFFFD};
#endif
  int exact = static_cast<int>(wide.size() + 1);
  std::vector<char16_t> out(static_cast<size_t>(exact));
  ASSERT_EQ(platform::AnsiToWide(narrow, out.data(), exact), exact);
  EXPECT_EQ(std::u16string(out.data()), wide);
  EXPECT_EQ(platform::AnsiToWide(narrow, out.data(), exact - 1), 0);
}

}  // namespace
}  // namespace vqlogger
