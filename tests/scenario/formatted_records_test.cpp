// Formatted runtime records through the export, as a host writes them.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdarg>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "vqlogger.h"

namespace {

// VqWideChar is a 16-bit unit on every platform (wchar_t on Windows).
#define WIDE(text) reinterpret_cast<const VqWideChar*>(u##text)

void Formatted(const char* file, int line, const VqWideChar* format, int level, ...) {
  va_list args;
  va_start(args, level);
  RuntimeInfoToLogfileArglist(file, line, format, level, args);
  va_end(args);
}

class FormattedRecordsTest : public ::testing::Test {
 protected:
  void SetUp() override { vqtest::ClearLoggerVariables(); }

  void Initialize() {
    char enable_assert = 0;
    ASSERT_TRUE(InitializeLogger(&enable_assert, 0, dir_.path().c_str()));
  }

  // The runtime log's record lines with time stamp and thread normalised.
  std::vector<std::string> Lines() { return vqtest::NormalizedRuntimeLines(dir_.path()); }

  vqtest::ScratchDir dir_;
};

std::string Record(const std::string& message, int level) {
  return "<TS>\t<TID>\tf.c\t7\t" + message + "\t" + std::to_string(level) + "\r\n";
}

TEST_F(FormattedRecordsTest, ExpandedTextBecomesTheMessage) {
  ASSERT_NO_FATAL_FAILURE(Initialize());
  Formatted("f.c", 7, WIDE("n=%d s=%-4s|x=%#06x c=%c"), 3, 42, WIDE("a\tb"), 255, 'z');
  Formatted("f.c", 7, WIDE("no conversions"), -1);
  Formatted("f.c", 7, WIDE(""), 0);
  EXPECT_EQ(Lines(), (std::vector<std::string>{Record("n=42 s=a b |x=0x00ff c=z", 3),
                                               Record("no conversions", -1), Record("", 0)}));
}

TEST_F(FormattedRecordsTest, NullFileNameOrFormatWritesNothing) {
  ASSERT_NO_FATAL_FAILURE(Initialize());
  Formatted(nullptr, 7, WIDE("%d"), 3, 1);
  Formatted("f.c", 7, nullptr, 3, 1);
  Formatted("f.c", 7, WIDE("after"), 4);
  EXPECT_EQ(Lines(), (std::vector<std::string>{Record("after", 4)}));
}

TEST_F(FormattedRecordsTest, HugeWidthLogsTheFormattingFailure) {
  ASSERT_NO_FATAL_FAILURE(Initialize());
  auto start = std::chrono::steady_clock::now();
  Formatted("f.c", 7, WIDE("before %2147483647d after"), 3, 1);
  Formatted("f.c", 7, WIDE("%99999999999999999999s"), 3, WIDE("x"));
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LT(seconds, 5.0);  // milliseconds normally; generous for a loaded machine
  // Two pieces that fit alone but not together.
  Formatted("f.c", 7, WIDE("%9000000d%9000000d"), 3, 1, 2);
  const std::string failed = Record("Exception occurred during formatting", 3);
  EXPECT_EQ(Lines(), (std::vector<std::string>{failed, failed, failed}));
}

TEST_F(FormattedRecordsTest, WideTextReachesTheFileThroughTheCodePage) {
  ASSERT_NO_FATAL_FAILURE(Initialize());
  Formatted("f.c", 7, WIDE("%S"), 1, "h\xE9");         // unit 0xFFE9
  Formatted("f.c", 7, WIDE("[%s]"), 1, WIDE("\x4E2D"));  // a CJK character
  Formatted("f.c", 7, WIDE("[%c]"), 1, 0xD800);          // a lone surrogate
  Formatted("f.c", 7, WIDE("[%c]"), 1, 0xE9);            // e acute
#ifdef _WIN32
  // Code page 1252 has none of the first three.
  const std::vector<std::string> expected = {Record("h?", 1), Record("[?]", 1),
                                             Record("[?]", 1), Record("[\xC3\xA9]", 1)};
#else
  const std::vector<std::string> expected = {
      Record("h\xEF\xBF\xA9", 1), Record("[\xE4\xB8\xAD]", 1), Record("[\xEF\xBF\xBD]", 1),
      Record("[\xC3\xA9]", 1)};
#endif
  EXPECT_EQ(Lines(), expected);
}

TEST_F(FormattedRecordsTest, MessageOf4000BytesGivesTheTooLongLine) {
  ASSERT_NO_FATAL_FAILURE(Initialize());
  Formatted("f.c", 7, WIDE("%3999d"), 5, 8);
  Formatted("f.c", 7, WIDE("%4000d"), 6, 8);
  Formatted("f.c", 7, WIDE("%3998s%c%c"), -9, WIDE("a"), 'b', 'c');
  // The limit counts narrow bytes: 1333 CJK characters take 3999 bytes in
  // UTF-8, 1334 take 4002. Code page 1252 turns each into one "?".
  const std::u16string cjk(1334, u'\x4E2D');
  Formatted("f.c", 7, WIDE("%.1333s"), 2, reinterpret_cast<const VqWideChar*>(cjk.c_str()));
  Formatted("f.c", 7, WIDE("%s"), 2, reinterpret_cast<const VqWideChar*>(cjk.c_str()));
  const std::string too_long = "Log Message too Long";
#ifdef _WIN32
  const std::string cjk_3999 = std::string(1333, '?');
  const std::string cjk_4002 = std::string(1334, '?');
#else
  std::string cjk_3999;
  for (int i = 0; i < 1333; ++i) cjk_3999 += "\xE4\xB8\xAD";
  const std::string cjk_4002 = too_long;
#endif
  EXPECT_EQ(Lines(), (std::vector<std::string>{Record(std::string(3998, ' ') + "8", 5),
                                               Record(too_long, 6), Record(too_long, -9),
                                               Record(cjk_3999, 2), Record(cjk_4002, 2)}));
}

TEST_F(FormattedRecordsTest, NothingIsWrittenBeforeInitializeLogger) {
  Formatted("f.c", 7, WIDE("early %d"), 3, 1);
  Formatted("f.c", 7, WIDE("%2147483647d"), 3, 1);
  ASSERT_NO_FATAL_FAILURE(Initialize());
  Formatted("f.c", 7, WIDE("late %d"), 3, 2);
  EXPECT_EQ(Lines(), (std::vector<std::string>{Record("late 2", 3)}));
}

}  // namespace
