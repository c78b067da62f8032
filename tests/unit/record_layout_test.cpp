#include "core/record_layout.h"

#include <gtest/gtest.h>

#include <string>

namespace vqlogger {
namespace {

TEST(RecordLayoutTest, TimestampsHaveNoLeadingZeros) {
  struct Case {
    platform::LocalTime time;
    const char* expected;
  };
  const Case cases[] = {
      {{2027, 1, 5, 8, 4, 9, 7}, "2027-1-5 8:4:9.7"},
      {{2026, 12, 7, 9, 5, 3, 250}, "2026-12-7 9:5:3.250"},
      {{2026, 12, 7, 9, 5, 3, 70}, "2026-12-7 9:5:3.70"},
      {{2000, 10, 31, 23, 59, 59, 999}, "2000-10-31 23:59:59.999"},
      {{1970, 1, 1, 0, 0, 0, 0}, "1970-1-1 0:0:0.0"},
  };
  for (const Case& c : cases) {
    char out[64];
    size_t n = FormatTimestamp(c.time, out);
    EXPECT_EQ(std::string(out, n), c.expected);
    EXPECT_EQ(std::string(out), c.expected);
  }
}

TEST(RecordLayoutTest, FileTimeJoinsSixFieldsWithHyphens) {
  char out[64];
  size_t n = FormatFileTime({2027, 1, 5, 8, 4, 9, 7}, out);
  EXPECT_EQ(std::string(out, n), "2027-1-5-8-4-9");
  n = FormatFileTime({2026, 12, 17, 19, 45, 30, 999}, out);
  EXPECT_EQ(std::string(out, n), "2026-12-17-19-45-30");
}

TEST(RecordLayoutTest, DecimalMatchesPercentD) {
  const int values[] = {0,   7,   9,    10,         88,  99,   100,          999,
                        1000, -1, -42, -999, 1000000000, 2147483647, -2147483647 - 1};
  for (int v : values) {
    char out[16];
    size_t n = FormatDecimal(v, out);
    EXPECT_EQ(std::string(out, n), std::to_string(v));
    EXPECT_EQ(out[n], '\0');
  }
}

// The ASCII test reads eight bytes at a time: a high byte at any position of
// a word or of the tail must be seen, and the length must be exact.
TEST(RecordLayoutTest, AsciiTestSeesEveryHighByte) {
  for (size_t length = 0; length <= 40; ++length) {
    std::string text(length, 'a');
    size_t measured = 99;
    EXPECT_TRUE(IsAsciiText(text.c_str(), &measured)) << length;
    EXPECT_EQ(measured, length);
    for (size_t at = 0; at < length; ++at) {
      std::string high = text;
      high[at] = '\x80';
      EXPECT_FALSE(IsAsciiText(high.c_str(), &measured)) << length << " " << at;
      EXPECT_EQ(measured, length);
    }
  }
}

}  // namespace
}  // namespace vqlogger

namespace vqlogger {
namespace {

// ScanText takes two steps of sixteen bytes a turn, then one step, then an
// overlapping last step: every length and every position of the byte that
// matters must be seen, and a harmless byte below 14 (VT) must not count as
// a line break.
TEST(RecordLayoutTest, ScanTextFindsLineBreaksAndHighBytesAnywhere) {
  struct Case {
    char byte;
    TextScan expected;
  };
  const Case cases[] = {{'\t', {true, false}}, {'\r', {true, false}}, {'\n', {true, false}},
                        {'\x80', {false, true}}, {'\xFF', {false, true}}, {'\x0B', {false, false}},
                        {'\x0D' + 1, {false, false}}};
  for (size_t length = 1; length <= 80; ++length) {
    std::string plain(length, 'a');
    TextScan none = ScanText(plain.data(), length);
    EXPECT_FALSE(none.has_line_control || none.has_high_bytes) << length;
    for (const Case& c : cases) {
      for (size_t at = 0; at < length; ++at) {
        std::string text = plain;
        text[at] = c.byte;
        TextScan scan = ScanText(text.data(), length);
        EXPECT_EQ(scan.has_line_control, c.expected.has_line_control) << length << " " << at;
        EXPECT_EQ(scan.has_high_bytes, c.expected.has_high_bytes) << length << " " << at;
      }
    }
  }
}

}  // namespace
}  // namespace vqlogger
