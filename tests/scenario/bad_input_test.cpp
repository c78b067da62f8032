// Bad input through every export: null pointers in every pointer position,
// over-long texts, malformed narrow text and lone surrogates, every byte
// value, every ASCII character after a "%". Nothing may crash; each case
// gives exactly the line (or the absence of a line) the rules give.
#include <gtest/gtest.h>

#include <cstdarg>
#include <functional>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "vqlogger.h"

namespace vqtest {
namespace {

#define WIDE(text) reinterpret_cast<const VqWideChar*>(u##text)

void Formatted(const char* file, int line, int level, const VqWideChar* format, ...) {
  va_list args;
  va_start(args, format);
  RuntimeInfoToLogfileArglist(file, line, format, level, args);
  va_end(args);
}

class BadInputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearLoggerVariables();
    char flag = 0;
    ASSERT_TRUE(InitializeLogger(&flag, 1, dir_.path().c_str()));
    runtime_ = RuntimeLogIn(dir_.path());
    assert_ = AssertLogIn(dir_.path());
  }
  std::string Runtime() { return NormalizedRecords(runtime_, kRuntimeFirstLine); }
  std::string Asserts() { return NormalizedRecords(assert_, kAssertFirstLine); }

  ScratchDir dir_;
  std::string runtime_;
  std::string assert_;
};

TEST_F(BadInputTest, NullInEveryPointerPosition) {
  // InitializeLogger: a null flag pointer is skipped, a null directory keeps
  // the files where they are.
  EXPECT_TRUE(InitializeLogger(nullptr, 0, nullptr));
  EXPECT_TRUE(InitializeLogger(nullptr, -1, nullptr));

  AssertToLogfile(nullptr, 1, "e");
  AssertToLogfile("a.c", 2, nullptr);
  AssertToLogfile(nullptr, 3, nullptr);
  RuntimeInfoToLogfileA(nullptr, 4, "m", 1);
  RuntimeInfoToLogfileA("a.c", 5, nullptr, 1);
  RuntimeInfoToLogfile(nullptr, 6, WIDE("m"), 1);
  RuntimeInfoToLogfile("a.c", 7, nullptr, 1);
  Formatted(nullptr, 8, 1, WIDE("%d"), 1);
  Formatted("a.c", 9, 1, nullptr, 1);
  Formatted("a.c", 10, 1, WIDE("%s|%S|%5.2s"), nullptr, nullptr, nullptr);
  RuntimeInfoToLogfileBinary(nullptr, 11, "\x01", 1, 1);
  RuntimeInfoToLogfileBinary("a.c", 12, nullptr, 1, 1);
  RuntimeInfoToLogfileBinary("a.c", 13, nullptr, 0xFFFFFFFFu, 1);

  EXPECT_EQ(Asserts(),
            "<TS>\t<TID>\tNull Pointer Error\t1\te\r\n"
            "<TS>\t<TID>\ta.c\t2\tNull Pointer Error\r\n"
            "<TS>\t<TID>\tNull Pointer Error\t3\tNull Pointer Error\r\n");
  EXPECT_EQ(Runtime(),
            "<TS>\t<TID>\tNull Pointer Error\t4\tm\t1\r\n"
            "<TS>\t<TID>\ta.c\t10\t(null)|(null)|   (n\t1\r\n"
            "<TS>\t<TID>\tNull Pointer Error\t11\t01\t1\r\n");
}

TEST_F(BadInputTest, OverLongTexts) {
  const std::string huge(100000, 'x');
  AssertToLogfile(huge.c_str(), 1, "e");           // name replaced
  AssertToLogfile("a.c", 2, huge.c_str());         // line too long: dropped
  RuntimeInfoToLogfileA(huge.c_str(), 3, "m", 1);  // name replaced
  RuntimeInfoToLogfileA("a.c", 4, huge.c_str(), 2);
  std::u16string wide(100000, u'w');
  RuntimeInfoToLogfile("a.c", 5, reinterpret_cast<const VqWideChar*>(wide.c_str()), 3);
  Formatted("a.c", 6, 4, WIDE("%s"), wide.c_str());
  std::vector<unsigned char> block(100000, 0xAB);
  RuntimeInfoToLogfileBinary("a.c", 7, block.data(), static_cast<unsigned>(block.size()), 5);

  EXPECT_EQ(Asserts(), "<TS>\t<TID>\tFile Name and Directory too Long\t1\te\r\n");
  EXPECT_EQ(Runtime(),
            "<TS>\t<TID>\tFile Name and Directory too Long\t3\tm\t1\r\n"
            "<TS>\t<TID>\ta.c\t4\tLog Message too Long\t2\r\n"
            "<TS>\t<TID>\ta.c\t5\tLog Message too Long\t3\r\n"
            "<TS>\t<TID>\ta.c\t6\tLog Message too Long\t4\r\n"
            "<TS>\t<TID>\ta.c\t7\tLog Message too Long\t5\r\n");
}

TEST_F(BadInputTest, OverLongDirectoryFallsBackToTheTemporaryDirectory) {
  // A later call with a directory far over the limit: never created, and
  // the open files stay where they are.
  const std::string huge = dir_.path() + Separator() + std::string(5000, 'd');
  EXPECT_TRUE(InitializeLogger(nullptr, 0, huge.c_str()));
  RuntimeInfoToLogfileA("a.c", 1, "still here", 1);
  EXPECT_FALSE(PathExists(huge));
  EXPECT_EQ(Runtime(), "<TS>\t<TID>\ta.c\t1\tstill here\t1\r\n");
}

#ifndef _WIN32
// Narrow text is UTF-8 here: each maximal ill-formed subsequence becomes one
// U+FFFD, in the file name and the message alike.
TEST_F(BadInputTest, MalformedUtf8IsRepaired) {
  struct Case {
    const char* input;
    const char* written;
  };
  const Case cases[] = {
      {"caf\xC3\xA9", "caf\xC3\xA9"},                          // well-formed: unchanged
      {"\xE9", "\xEF\xBF\xBD"},                                // lone Latin-1 byte
      {"\xF0\x9F\x98", "\xEF\xBF\xBD"},                        // cut-off sequence
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // encoded surrogate
      {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},                // overlong form
      {"a\xFF" "b", "a\xEF\xBF\xBD" "b"},
  };
  std::string expected;
  int line = 0;
  for (const Case& c : cases) {
    RuntimeInfoToLogfileA(c.input, ++line, c.input, 0);
    expected += std::string("<TS>\t<TID>\t") + c.written + "\t" + std::to_string(line) + "\t" + c.written +
                "\t0\r\n";
  }
  EXPECT_EQ(Runtime(), expected);
}

TEST_F(BadInputTest, LoneSurrogatesBecomeReplacementCharacters) {
  const char16_t lone_high[] = {u'a', 0xD800, u'b', 0};
  const char16_t lone_low[] = {0xDC00, 0};
  const char16_t reversed_pair[] = {0xDC00, 0xD800, 0};
  const char16_t good_pair[] = {0xD83D, 0xDE00, 0};
  for (const char16_t* text : {lone_high, lone_low, reversed_pair, good_pair}) {
    RuntimeInfoToLogfile("w.c", 1, reinterpret_cast<const VqWideChar*>(text), 0);
  }
  EXPECT_EQ(Runtime(),
            "<TS>\t<TID>\tw.c\t1\ta\xEF\xBF\xBD" "b\t0\r\n"
            "<TS>\t<TID>\tw.c\t1\t\xEF\xBF\xBD\t0\r\n"
            "<TS>\t<TID>\tw.c\t1\t\xEF\xBF\xBD\xEF\xBF\xBD\t0\r\n"
            "<TS>\t<TID>\tw.c\t1\t\xF0\x9F\x98\x80\t0\r\n");
}

// Every byte value from 0x01 to 0xFF, in a message and in a file name: the
// message loses its tab, CR and LF; the bytes 0x80 to 0xFF are ill-formed
// one by one (no two of them make a sequence in this order), so each is one
// U+FFFD.
TEST_F(BadInputTest, EveryByteValue) {
  std::string all;
  for (int b = 1; b <= 0xFF; ++b) all += static_cast<char>(b);
  std::string message_text, name_text;
  for (int b = 1; b <= 0x7F; ++b) {
    char c = static_cast<char>(b);
    name_text += c;
    message_text += (c == '\t' || c == '\r' || c == '\n') ? ' ' : c;
  }
  for (int b = 0x80; b <= 0xFF; ++b) {
    name_text += "\xEF\xBF\xBD";
    message_text += "\xEF\xBF\xBD";
  }
  RuntimeInfoToLogfileA("f.c", 1, all.c_str(), 0);
  EXPECT_EQ(Runtime(), "<TS>\t<TID>\tf.c\t1\t" + message_text + "\t0\r\n");

  // The name and the expression keep their tab and line breaks, so these
  // records span several physical lines: compare what each call added.
  auto added_by = [](const std::string& path, const std::function<void()>& write) {
    size_t before = ReadFileBytes(path).size();
    write();
    return Normalize(ReadFileBytes(path).substr(before));
  };
  EXPECT_EQ(added_by(runtime_, [&] { RuntimeInfoToLogfileA(all.c_str(), 2, "m", 0); }),
            "<TS>\t<TID>\t" + name_text + "\t2\tm\t0\r\n");
  EXPECT_EQ(added_by(assert_, [&] { AssertToLogfile("f.c", 3, all.c_str()); }),
            "<TS>\t<TID>\tf.c\t3\t" + name_text + "\r\n");
}
#endif

// Every printable ASCII character after a "%": letters are conversions (the
// recognised ones render their argument, the others read it and render
// nothing); the rest are flags, widths, precisions or marks passed over, and
// the format ends before a conversion, so nothing is rendered.
TEST_F(BadInputTest, EveryAsciiCharacterAfterPercent) {
  std::string expected;
  for (char16_t c = 0x20; c < 0x7F; ++c) {
    const char16_t format[] = {u'<', u'%', c, u'>', 0};
    const VqWideChar* wide_format = reinterpret_cast<const VqWideChar*>(format);
    std::string rendered;
    if (c == u's') {
      Formatted("p.c", c, 0, wide_format, u"str");
      rendered = "<str>";
    } else if (c == u'S') {
      Formatted("p.c", c, 0, wide_format, "str");
      rendered = "<str>";
    } else {
      Formatted("p.c", c, 0, wide_format, 65);
      switch (c) {
        case u'd': case u'i': case u'l': case u'u': rendered = "<65>"; break;
        case u'o': rendered = "<101>"; break;
        case u'x': case u'X': rendered = "<41>"; break;
        case u'c': case u'C': rendered = "<A>"; break;
        default:
          if ((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z')) {
            rendered = "<>";  // unrecognised conversion
          } else if (c >= u'0' && c <= u'9') {
            rendered = "<";   // width digits, then ">" is the conversion
          } else if (c == u'.') {
            rendered = "<";   // precision, then ">" is the conversion
          } else {
            rendered = "<";   // passed over: ">" is passed over too, the format ends
          }
      }
    }
    expected += "<TS>\t<TID>\tp.c\t" + std::to_string(c) + "\t" + rendered + "\t0\r\n";
  }
  EXPECT_EQ(Runtime(), expected);
}

}  // namespace
}  // namespace vqtest
