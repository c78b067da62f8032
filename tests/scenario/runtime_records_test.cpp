// Runtime records through the narrow and wide exports: the six columns, the
// message clean-up, the fallback line for a record that does not fit, the
// wide-to-narrow conversion, and a level that is held but filters nothing.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "vqlogger.h"

#ifdef _WIN32
#define WIDE(text) L##text
#else
#define WIDE(text) u##text
#endif

namespace {

using WideString = std::basic_string<VqWideChar>;

class RuntimeRecordsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vqtest::ClearLoggerVariables();
    char flag = 0;
    ASSERT_TRUE(InitializeLogger(&flag, 0, dir_.path().c_str()));
    path_ = vqtest::RuntimeLogIn(dir_.path());
    ASSERT_FALSE(path_.empty());
    ASSERT_EQ(vqtest::ReadFileBytes(path_), vqtest::kRuntimeFirstLine);
    follower_ = vqtest::LogFollower(path_);
  }

  // What the file gained since the last call, normalized line by line.
  std::string Added() { return follower_.Added(); }

  vqtest::ScratchDir dir_;
  std::string path_;
  vqtest::LogFollower follower_;
};

TEST_F(RuntimeRecordsTest, NarrowMessages) {
  EXPECT_EQ(GetLoggingLevel(), 0);
  const std::string m3999(3999, 'm');
  const std::string m4000(4000, 'm');
  const std::string name1001(1001, 'n');
  struct Case {
    const char* file;
    int line;
    const char* message;
    int level;
    std::string expected;
  };
  const Case cases[] = {
      {"src/parser.src", 88, "ready", 3, "<TS>\t<TID>\tsrc/parser.src\t88\tready\t3\r\n"},
      {"f.c", 1, "lvl", 0, "<TS>\t<TID>\tf.c\t1\tlvl\t0\r\n"},
      {"f.c", 2, "lvl", -1, "<TS>\t<TID>\tf.c\t2\tlvl\t-1\r\n"},
      {"f.c", -3, "lvl", INT_MIN, "<TS>\t<TID>\tf.c\t-3\tlvl\t-2147483648\r\n"},
      {"f.c", 4, "a\tb\r\nc", 1, "<TS>\t<TID>\tf.c\t4\ta b  c\t1\r\n"},
      {"f.c", 5, "v\x0B\x0C\x1Bw", 1, "<TS>\t<TID>\tf.c\t5\tv\x0B\x0C\x1Bw\t1\r\n"},
      {"f.c", 6, "", 2, "<TS>\t<TID>\tf.c\t6\t\t2\r\n"},
      {"f.c", 7, m3999.c_str(), 5, "<TS>\t<TID>\tf.c\t7\t" + m3999 + "\t5\r\n"},
      {"f.c", 1, m4000.c_str(), -3, "<TS>\t<TID>\tf.c\t1\tLog Message too Long\t-3\r\n"},
      {nullptr, 8, "n", 1, "<TS>\t<TID>\tNull Pointer Error\t8\tn\t1\r\n"},
      {name1001.c_str(), 9, "n", 1, "<TS>\t<TID>\tFile Name and Directory too Long\t9\tn\t1\r\n"},
      {"f.c", 10, nullptr, 1, ""},
#ifdef _WIN32
      {"f.c", 11, "caf\xE9", 1, "<TS>\t<TID>\tf.c\t11\tcaf\xC3\xA9\t1\r\n"},
#else
      {"f.c", 11, "caf\xC3\xA9", 1, "<TS>\t<TID>\tf.c\t11\tcaf\xC3\xA9\t1\r\n"},
      {"f.c", 12, "x\xE9y", 1, "<TS>\t<TID>\tf.c\t12\tx\xEF\xBF\xBDy\t1\r\n"},
#endif
  };
  for (const Case& c : cases) {
    RuntimeInfoToLogfileA(c.file, c.line, c.message, c.level);
    EXPECT_EQ(Added(), c.expected) << "line " << c.line;
  }
}

TEST_F(RuntimeRecordsTest, WideMessages) {
  const WideString w4000(4000, VqWideChar('w'));
  struct Case {
    const char* file;
    int line;
    const VqWideChar* message;
    std::string expected;
  };
  const Case cases[] = {
      {"w.c", 1, WIDE("wide \u00e9"), "<TS>\t<TID>\tw.c\t1\twide \xC3\xA9\t4\r\n"},
      {"w.c", 2, WIDE("a\tb\r\nc"), "<TS>\t<TID>\tw.c\t2\ta b  c\t4\r\n"},
      {"w.c", 3, WIDE(""), "<TS>\t<TID>\tw.c\t3\t\t4\r\n"},
      {"w.c", 4, w4000.c_str(), "<TS>\t<TID>\tw.c\t4\tLog Message too Long\t4\r\n"},
      {nullptr, 5, WIDE("x"), ""},
      {"w.c", 6, nullptr, ""},
#ifdef _WIN32
      // Code page 1252 lacks the character: its default character stands in.
      {"w.c", 7, WIDE("\u4e2d!"), "<TS>\t<TID>\tw.c\t7\t?!\t4\r\n"},
#else
      {"w.c", 7, WIDE("\u4e2d!"), "<TS>\t<TID>\tw.c\t7\t\xE4\xB8\xAD!\t4\r\n"},
      {"w.c", 8, u"a\xD800z", "<TS>\t<TID>\tw.c\t8\ta\xEF\xBF\xBDz\t4\r\n"},
      {"w.c", 9, u"\U0001F600", "<TS>\t<TID>\tw.c\t9\t\xF0\x9F\x98\x80\t4\r\n"},
#endif
  };
  for (const Case& c : cases) {
    RuntimeInfoToLogfile(c.file, c.line, c.message, 4);
    EXPECT_EQ(Added(), c.expected) << "line " << c.line;
  }
}

// The message is under 4000 bytes, but grows in the conversion to UTF-8:
// a line of exactly 5095 bytes is written, one byte more gives the fallback.
TEST_F(RuntimeRecordsTest, LineOf5095BytesIsWrittenOneMoreFallsBack) {
#ifdef _WIN32
  const std::string grown = "\xC3\xA9";  // E9 in code page 1252
#else
  const std::string grown = "\xEF\xBF\xBD";  // a lone E9 is ill-formed UTF-8
#endif
  const size_t kGrowing = 1500;
  const char kProbeTail[] = "probe\t7\r\n";
  const std::string probe_line = "<TS>\t<TID>\tedge.c\t1\tprobe\t7\r\n";
  auto probe = [] { RuntimeInfoToLogfileA("edge.c", 1, "probe", 7); };
  for (size_t target : {size_t{5095}, size_t{5096}}) {
    SCOPED_TRACE(target);
    size_t plain = 0;
    auto candidate = [&] {
      std::string last = vqtest::LastLine(path_);
      size_t prefix = last.size() - strlen(kProbeTail);
      plain = target - prefix - kGrowing * grown.size() - strlen("\t7\r\n");
      std::string message = std::string(plain, 'a') + std::string(kGrowing, '\xE9');
      ASSERT_LT(message.size(), 4000u);
      RuntimeInfoToLogfileA("edge.c", 1, message.c_str(), 7);
    };
    std::vector<std::string> added = vqtest::AddedWithinOneTimestamp(path_, probe, candidate);
    std::string middle = "<TS>\t<TID>\tedge.c\t1\tLog Message too Long\t7\r\n";
    if (target == 5095) {
      std::string text = std::string(plain, 'a');
      for (size_t i = 0; i < kGrowing; ++i) text += grown;
      middle = "<TS>\t<TID>\tedge.c\t1\t" + text + "\t7\r\n";
      ASSERT_EQ(added.size(), 3u);
      EXPECT_EQ(added[1].size(), 5095u);
    }
    for (std::string& line : added) line = vqtest::Normalize(line);
    EXPECT_EQ(added, (std::vector<std::string>{probe_line, middle, probe_line}));
  }
}

TEST_F(RuntimeRecordsTest, LevelIsHeldButFiltersNothing) {
  for (int level : {-7, 0, INT_MIN, INT_MAX, 5}) {
    SetLoggingLevel(level);
    EXPECT_EQ(GetLoggingLevel(), level);
  }
  RuntimeInfoToLogfileA("f.c", 1, "below", 1);
  RuntimeInfoToLogfileA("f.c", 2, "above", 9);
  const VqWideChar kWide[] = {'w', 0};
  RuntimeInfoToLogfile("f.c", 3, kWide, -9);
  EXPECT_EQ(Added(),
            "<TS>\t<TID>\tf.c\t1\tbelow\t1\r\n"
            "<TS>\t<TID>\tf.c\t2\tabove\t9\r\n"
            "<TS>\t<TID>\tf.c\t3\tw\t-9\r\n");
  EXPECT_EQ(GetLoggingLevel(), 5);
}

TEST(RuntimeBeforeInitializeTest, WritesNothingAndHoldsNoLevel) {
  vqtest::ClearLoggerVariables();
  vqtest::ScratchDir dir;
  SetLoggingLevel(5);
  EXPECT_EQ(GetLoggingLevel(), 0);
  const VqWideChar kWide[] = {'w', 0};
  RuntimeInfoToLogfileA("early.c", 1, "too early", 1);
  RuntimeInfoToLogfile("early.c", 2, kWide, 1);
  char flag = 0;
  ASSERT_TRUE(InitializeLogger(&flag, 0, dir.path().c_str()));
  EXPECT_EQ(GetLoggingLevel(), 0);
  RuntimeInfoToLogfileA("late.c", 3, "in time", 1);
  std::string path = vqtest::RuntimeLogIn(dir.path());
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(vqtest::NormalizeLines(vqtest::ReadFileBytes(path)),
            std::string(vqtest::kRuntimeFirstLine) + "<TS>\t<TID>\tlate.c\t3\tin time\t1\r\n");
}

}  // namespace
