// Wide messages at the edges of a record: the narrow form decides. Under
// 4000 narrow bytes the message is written whole; from 4000 bytes on, and
// for every wide message of 8000 units or more (no two units become fewer
// than one narrow byte), the record is the "Log Message too Long" line,
// however long the message is.
#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"
#include "vqlogger.h"

namespace {

using WideString = std::basic_string<VqWideChar>;

const std::string kTooLong = "<TS>\t<TID>\twide.c\t5\tLog Message too Long\t4\r\n";

std::string Record(const std::string& message) {
  return "<TS>\t<TID>\twide.c\t5\t" + message + "\t4\r\n";
}

TEST(WideMessageLimitsTest, NarrowLengthDecidesBetweenRecordAndFallback) {
  VQTEST_REQUIRE_DEFAULT_NARROW_TEXT();
  vqtest::ClearLoggerVariables();
  vqtest::ScratchDir dir;
  char flag = 0;
  ASSERT_TRUE(InitializeLogger(&flag, 0, dir.path().c_str()));
  vqtest::LogFollower follower(vqtest::RuntimeLogIn(dir.path()));

  // U+00E9: two narrow bytes in UTF-8, one in code page 1252; two bytes in
  // the file either way.
  const bool utf8 = vqtest::AnsiCodePage() == 0;
  const size_t e_bytes = utf8 ? 2 : 1;
  const VqWideChar e = static_cast<VqWideChar>(0xE9);
  // `ascii` letters, then `count` times U+00E9: as passed, and as the file
  // has it.
  auto mixed_units = [&](size_t ascii, size_t count) {
    return WideString(ascii, 'a') + WideString(count, e);
  };
  auto mixed_text = [&](size_t ascii, size_t count) {
    std::string text(ascii, 'a');
    for (size_t i = 0; i < count; ++i) text += "\xC3\xA9";
    return text;
  };
  // 3999 narrow bytes whose UTF-8 form still fits a line.
  const size_t e_count = utf8 ? 1999 : 999;
  const size_t a_count = 3999 - e_count * e_bytes;

  struct Case {
    const char* name;
    WideString message;
    std::string expected;
  };
  const Case cases[] = {
      {"3999 ASCII units", WideString(3999, 'a'), Record(std::string(3999, 'a'))},
      {"4000 ASCII units", WideString(4000, 'a'), kTooLong},
      {"7999 ASCII units", WideString(7999, 'a'), kTooLong},
      {"non-ASCII, 3999 narrow bytes", mixed_units(a_count, e_count),
       Record(mixed_text(a_count, e_count))},
      {"non-ASCII, 4000 narrow bytes", mixed_units(a_count + 1, e_count), kTooLong},
      {"one non-ASCII unit after 3998 ASCII ones", mixed_units(3998, 1),
       utf8 ? kTooLong : Record(mixed_text(3998, 1))},
      {"3999 non-ASCII units", mixed_units(0, 3999), kTooLong},
      {"7999 non-ASCII units", mixed_units(0, 7999), kTooLong},
      {"8000 non-ASCII units", mixed_units(0, 8000), kTooLong},
      {"100,000 non-ASCII units", mixed_units(0, 100000), kTooLong},
      // Past any size a buffer for its conversion could have.
      {"2^26 + 1 ASCII units", WideString((size_t{1} << 26) + 1, 'a'), kTooLong},
  };
  for (const Case& c : cases) {
    RuntimeInfoToLogfile("wide.c", 5, c.message.c_str(), 4);
    EXPECT_EQ(follower.Added(), c.expected) << c.name;
  }
}

}  // namespace
