#include "runtime/wide_format.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <new>
#include <string>
#include <vector>

namespace vqlogger {
namespace {

// One argument as a caller would pass it: an int, a wide or a narrow string.
struct Arg {
  enum Kind { kInt, kWide, kNarrow } kind;
  int value;
  const char16_t* wide;
  const char* narrow;
};
Arg I(int v) { return {Arg::kInt, v, nullptr, nullptr}; }
Arg W(const char16_t* s) { return {Arg::kWide, 0, s, nullptr}; }
Arg N(const char* s) { return {Arg::kNarrow, 0, nullptr, s}; }

// Hands out the arguments in order, checks that each is read as the type it
// was given as, and counts how many were read.
class ArrayArguments final : public FormatArguments {
 public:
  explicit ArrayArguments(std::vector<Arg> args) : args_(std::move(args)) {}

  int NextInt() override { return Next(Arg::kInt).value; }
  const char16_t* NextWideString() override { return Next(Arg::kWide).wide; }
  const char* NextNarrowString() override { return Next(Arg::kNarrow).narrow; }
  size_t read() const { return read_; }

 private:
  const Arg& Next(Arg::Kind kind) {
    static const Arg kMissing = {Arg::kInt, 0, nullptr, nullptr};
    if (read_ >= args_.size()) {
      ADD_FAILURE() << "argument " << read_ + 1 << " read, only " << args_.size() << " given";
      ++read_;
      return kMissing;
    }
    const Arg& arg = args_[read_++];
    EXPECT_EQ(arg.kind, kind) << "argument " << read_ << " read as another type";
    return arg;
  }

  std::vector<Arg> args_;
  size_t read_ = 0;
};

std::u16string Expand(const char16_t* format, std::vector<Arg> args, size_t* read = nullptr) {
  ArrayArguments arguments(std::move(args));
  WideText text;
  ExpandWideFormat(format, arguments, &text);
  if (read != nullptr) *read = arguments.read();
  std::u16string result(text.c_str(), text.size());
  EXPECT_EQ(result, std::u16string(text.c_str())) << "size() disagrees with the terminator";
  return result;
}

std::string Show(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) {
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char hex[16];
      snprintf(hex, sizeof hex, "\\x%04X", static_cast<unsigned>(c));
      out += hex;
    }
  }
  return out;
}

struct Case {
  const char16_t* format;
  std::vector<Arg> args;
  std::u16string expected;
  int reads = -1;  // arguments read; -1: all that were given
};

void RunCases(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    size_t read = 0;
    std::u16string got = Expand(c.format, c.args, &read);
    std::u16string format(c.format);
    EXPECT_EQ(got, c.expected) << "format \"" << Show(format) << "\" gave \"" << Show(got)
                               << "\", expected \"" << Show(c.expected) << "\"";
    size_t reads = c.reads < 0 ? c.args.size() : static_cast<size_t>(c.reads);
    EXPECT_EQ(read, reads) << "arguments read for \"" << Show(format) << "\"";
  }
}

TEST(WideFormatTest, FormatLanguageEdgeCases) {
  RunCases({
      {u"a%%b", {I(7)}, u"a"},
      {u"100%% done %d", {I(5), I(6)}, u"100 5one 6"},
      {u"50% off", {I(8)}, u"50 10ff"},
      {u"%ld", {I(5)}, u"5d"},
      {u"%lu", {I(4)}, u"4u"},
      {u"%hd", {I(1)}, u"d"},
      {u"%I64d", {I(1)}, u"64d"},
      {u"%*d", {I(5), I(42)}, u"5", 1},
      {u"%5d", {I(42)}, u"   42"},
      {u"%-5d", {I(42)}, u"42   "},
      {u"%05d", {I(-42)}, u"-0042"},
      {u"%-08d", {I(42)}, u"42      "},
      {u"%+d %+d % d", {I(5), I(-5), I(5)}, u"+5 -5  5"},
      {u"%-+5d", {I(3)}, u"+3   "},
      {u"% 05d", {I(3)}, u" 0003"},
      {u"%.3d", {I(7)}, u"007"},
      {u"%.0d", {I(0)}, u"0"},
      {u"%8.3d", {I(-7)}, u"    -007"},
      {u"%08.3d", {I(-7)}, u"-0000007"},
      {u"%.2d", {I(-1)}, u"-01"},
      {u"%d", {I(INT_MIN)}, u"-2147483648"},
      {u"%u", {I(-1)}, u"4294967295"},
      {u"%+u", {I(3)}, u"+3"},
      {u"%x %X %#x %#X %#x", {I(255), I(255), I(255), I(255), I(0)}, u"ff FF 0xff 0XFF 0x0"},
      {u"%#010x", {I(255)}, u"0x000000ff"},
      {u"%08x", {I(171)}, u"000000ab"},
      {u"%+x", {I(255)}, u"+ff"},
      {u"%o", {I(8)}, u"10"},
      {u"%#o", {I(8)}, u"010"},
      {u"%o", {I(0)}, u"0"},
      {u"%5o", {I(64)}, u"  100"},
      {u"%#.3o", {I(8)}, u"0010"},
      {u"%#5o", {I(8)}, u"  010"},
      {u"%o", {I(-1)}, u"37777777777"},
      {u"%3c", {I(65)}, u"  A"},
      {u"%-3c", {I(66)}, u"B  "},
      {u"%5c", {I(0)}, u"    "},
      {u"%-5c", {I(0)}, u""},
      {u"%C", {I(321)}, u"A"},
      {u"%.2s", {W(u"abcdef")}, u"ab"},
      {u"%5s", {W(u"ab")}, u"   ab"},
      {u"%-5s", {W(u"ab")}, u"ab   "},
      {u"%.s", {W(u"abc")}, u""},
      {u"%S", {N("h\xE9")}, u"h\xFFE9"},
      {u"end%", {}, u"end"},
      {u"%5", {}, u""},
      {u"%0-5d", {I(42)}, u"5d"},
      {u"%0#6x", {I(171)}, u"6x"},
      {u"%.5.3d", {I(1)}, u"3d"},
      {u"%!d", {I(9)}, u"9"},
      {u"%p", {I(1)}, u""},
      {u"%f", {I(1)}, u""},
      {u"%n", {I(1)}, u""},
      {u"abc%d%d", {I(1), I(2)}, u"abc12"},
  });
}

TEST(WideFormatTest, FurtherEdges) {
  RunCases({
      // Text without "%" passes unchanged, surrogate pairs and all.
      {u"", {}, u""},
      {u"plain text \xD83D\xDE00 \x00E9", {}, u"plain text \xD83D\xDE00 \x00E9"},
      // A null string pointer renders as if it were "(null)".
      {u"%s", {W(nullptr)}, u"(null)"},
      {u"%S", {N(nullptr)}, u"(null)"},
      {u"%.3s", {W(nullptr)}, u"(nu"},
      {u"%.3S", {N(nullptr)}, u"(nu"},
      {u"%8s", {W(nullptr)}, u"  (null)"},
      {u"%-8S", {N(nullptr)}, u"(null)  "},
      // "c" keeps the low 16 bits; "C" widens the low byte as a signed byte.
      {u"%c", {I(0x10041)}, u"A"},
      {u"%c", {I(0xD800)}, u"\xD800"},
      {u"%C", {I(0xE9)}, u"\xFFE9"},
      {u"%C", {I(0x7F)}, u"\x007F"},
      {u"%S", {N("\x7F\x80\xFF")}, u"\x007F\xFF80\xFFFF"},
      // A precision beyond the string's end changes nothing; width counts
      // what the precision left.
      {u"%.10s|%-4.1s|", {W(u"abc"), W(u"xyz")}, u"abc|x   |"},
      // An argument's text is not scanned for conversions.
      {u"%s and %S", {W(u"50%d"), N("%s")}, u"50%d and %s"},
  });
}

// Text long enough to leave the engine's inline storage must arrive whole,
// with what came before and after it.
TEST(WideFormatTest, LongPiecesKeepSurroundingText) {
  for (int width : {1023, 1024, 1025, 5000}) {
    std::u16string format = u"ab%";
    for (char c : std::to_string(width)) format += static_cast<char16_t>(c);
    format += u"dcd%s";
    std::u16string expected =
        u"ab" + std::u16string(static_cast<size_t>(width) - 1, u' ') + u"7cd" + u"end";
    EXPECT_EQ(Expand(format.c_str(), {I(7), W(u"end")}), expected) << "width " << width;
  }
  std::u16string long_literal(3000, u'q');
  EXPECT_EQ(Expand((long_literal + u"%d").c_str(), {I(5)}), long_literal + u"5");
}

// The joined text may hold up to 2^24 units; anything longer, a piece or
// the whole, is an allocation failure.
TEST(WideFormatTest, TextUpToTheCapIsBuilt) {
  std::u16string text = Expand(u"%16777216d", {I(42)});
  ASSERT_EQ(text.size(), size_t{1} << 24);
  EXPECT_EQ(text, std::u16string((size_t{1} << 24) - 2, u' ') + u"42");

  text = Expand(u"%8388608s%-8388608c", {W(u"x"), I('y')});
  ASSERT_EQ(text.size(), size_t{1} << 24);
  EXPECT_EQ(text.substr((size_t{1} << 23) - 2, 4), u" xy ");

  // A precision over the cap is only a maximum for a string.
  EXPECT_EQ(Expand(u"%.16777217S|%.99999999999s", {N("s"), W(u"w")}), u"s|w");
}

TEST(WideFormatTest, TextOverTheCapThrowsBadAlloc) {
  struct Over {
    const char16_t* format;
    std::vector<Arg> args;
  };
  const Over cases[] = {
      {u"%16777217d", {I(42)}},
      {u"%-16777217u", {I(42)}},
      {u"%.16777217d", {I(1)}},
      {u"%016777217x", {I(1)}},
      {u"%16777217c", {I('c')}},
      {u"%16777217s", {W(u"s")}},
      {u"%8388608d%8388609d", {I(1), I(2)}},  // 2^24 + 1 units in all
      {u"%99999999999999999999d", {I(1)}},
      {u"%.99999999999999999999d", {I(1)}},
      {u"%2147483647c", {I('c')}},
  };
  for (const Over& c : cases) {
    std::u16string format(c.format);
    ArrayArguments arguments(c.args);
    WideText text;
    auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(ExpandWideFormat(c.format, arguments, &text), std::bad_alloc) << Show(format);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // A single piece over the cap fails before anything is written.
    if (c.args.size() == 1) {
      EXPECT_LT(seconds, 5.0) << Show(format) << " took too long to fail";
    }
  }
}

}  // namespace
}  // namespace vqlogger
