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

  // U+00E9: two narrow bytes in UTF-8, one in code page 1252.
  const bool utf8 = vqtest::AnsiCodePage() == 0;
  const size_t e_bytes = utf8 ? 2 : 1;
  const std::string e_narrow = utf8 ? "\xC3\xA9" : "\xE9";
  auto e_units = [](size_t count) { return WideString(count, static_cast<VqWideChar>(0xE9)); };
  auto e_text = [&](size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) text += e_narrow;
    return text;
  };
  const size_t last_fitting_e = 3999 / e_bytes;

  struct Case {
    const char* name;
    WideString message;
    std::string expected;
  };
  const Case cases[] = {
      {"3999 ASCII units", WideString(3999, 'a'), Record(std::string(3999, 'a'))},
      {"4000 ASCII units", WideString(4000, 'a'), kTooLong},
      {"7999 ASCII units", WideString(7999, 'a'), kTooLong},
      {"non-ASCII, 3999 bytes or just under", e_units(last_fitting_e),
       Record(e_text(last_fitting_e))},
      {"non-ASCII, one character more", e_units(last_fitting_e + 1), kTooLong},
      {"one non-ASCII unit after 3998 ASCII ones",
       WideString(3998, 'a') + WideString(1, static_cast<VqWideChar>(0xE9)),
       utf8 ? kTooLong : Record(std::string(3998, 'a') + e_narrow)},
      {"7999 non-ASCII units", e_units(7999), kTooLong},
      {"8000 non-ASCII units", e_units(8000), kTooLong},
      {"100,000 non-ASCII units", e_units(100000), kTooLong},
      // Past any size a buffer for its conversion could have.
      {"2^26 + 1 ASCII units", WideString((size_t{1} << 26) + 1, 'a'), kTooLong},
  };
  for (const Case& c : cases) {
    RuntimeInfoToLogfile("wide.c", 5, c.message.c_str(), 4);
    EXPECT_EQ(follower.Added(), c.expected) << c.name;
  }
}

}  // namespace
