// Assertion records through the export: the five columns, the substitutes
// for missing or over-long fields, the expression passed through unchanged,
// and the 5095-byte line limit beyond which a record is dropped.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "vqlogger.h"

namespace {

class AssertRecordsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vqtest::ClearLoggerVariables();
    ASSERT_TRUE(InitializeLogger(&flag_, 0, dir_.path().c_str()));
    path_ = vqtest::AssertLogIn(dir_.path());
    ASSERT_FALSE(path_.empty());
    ASSERT_EQ(vqtest::ReadFileBytes(path_), vqtest::kAssertFirstLine);
    follower_ = vqtest::LogFollower(path_);
  }

  // What the file gained since the last call, normalized line by line.
  std::string Added() { return follower_.Added(); }

  vqtest::ScratchDir dir_;
  char flag_ = 7;
  std::string path_;
  vqtest::LogFollower follower_;
};

TEST_F(AssertRecordsTest, WritesOneLinePerCall) {
  // The host was told assertions are off; records are written all the same.
  EXPECT_EQ(flag_, 0);
  const std::string name1000(1000, 'n');
  const std::string name1001(1001, 'n');
  struct Case {
    const char* file;
    int line;
    const char* expression;
    std::string expected;
  };
  const Case cases[] = {
      {"src/parser.src", 88, "x > 0", "<TS>\t<TID>\tsrc/parser.src\t88\tx > 0\r\n"},
      {nullptr, 1, "p", "<TS>\t<TID>\tNull Pointer Error\t1\tp\r\n"},
      {name1000.c_str(), 2, "p", "<TS>\t<TID>\t" + name1000 + "\t2\tp\r\n"},
      {name1001.c_str(), 3, "p", "<TS>\t<TID>\tFile Name and Directory too Long\t3\tp\r\n"},
      {"", 4, "p", "<TS>\t<TID>\t\t4\tp\r\n"},
      {"f.c", -42, "p", "<TS>\t<TID>\tf.c\t-42\tp\r\n"},
      {"f.c", INT_MIN, "p", "<TS>\t<TID>\tf.c\t-2147483648\tp\r\n"},
      {"f.c", 5, "", "<TS>\t<TID>\tf.c\t5\t\r\n"},
      // Nothing is replaced: a tab adds a column, a line feed splits the record.
      {"f.c", 6, "a\tb\nc", "<TS>\t<TID>\tf.c\t6\ta\tb\nc\r\n"},
      {"f.c", 7, "v\x0B\x1B\rw", "<TS>\t<TID>\tf.c\t7\tv\x0B\x1B\rw\r\n"},
      {"f.c", 8, nullptr, "<TS>\t<TID>\tf.c\t8\tNull Pointer Error\r\n"},
#ifdef _WIN32
      // Code page 1252: each field converted to UTF-8 once.
      {"d\xE9.c", 9, "\xE9 > 0", "<TS>\t<TID>\td\xC3\xA9.c\t9\t\xC3\xA9 > 0\r\n"},
#else
      {"d\xC3\xA9.c", 9, "\xC3\xA9 > 0", "<TS>\t<TID>\td\xC3\xA9.c\t9\t\xC3\xA9 > 0\r\n"},
      {"f.c", 10, "\xE9!", "<TS>\t<TID>\tf.c\t10\t\xEF\xBF\xBD!\r\n"},
#endif
  };
  for (const Case& c : cases) {
    AssertToLogfile(c.file, c.line, c.expression);
    EXPECT_EQ(Added(), c.expected) << "line " << c.line;
  }
}

TEST_F(AssertRecordsTest, LineOf5095BytesIsWrittenOneMoreIsDropped) {
  const char kProbeText[] = "probe\r\n";
  const std::string probe_line = "<TS>\t<TID>\tedge.c\t1\tprobe\r\n";
  auto probe = [] { AssertToLogfile("edge.c", 1, "probe"); };
  for (size_t target : {size_t{5095}, size_t{5096}}) {
    SCOPED_TRACE(target);
    std::string expression;
    auto candidate = [&] {
      // Same time stamp (checked afterwards), thread, file and line as the
      // probe just written: so the same prefix length.
      std::string last = vqtest::LastLine(path_);
      size_t prefix = last.size() - strlen(kProbeText);
      expression.assign(target - prefix - 2, 'x');
      AssertToLogfile("edge.c", 1, expression.c_str());
    };
    std::vector<std::string> added = vqtest::AddedWithinOneTimestamp(path_, probe, candidate);
    std::vector<std::string> expected = {probe_line, probe_line};
    if (target == 5095) {
      expected.insert(expected.begin() + 1, "<TS>\t<TID>\tedge.c\t1\t" + expression + "\r\n");
      ASSERT_EQ(added.size(), 3u);
      EXPECT_EQ(added[1].size(), 5095u);
    }
    for (std::string& line : added) line = vqtest::Normalize(line);
    EXPECT_EQ(added, expected);
  }
}

TEST(AssertBeforeInitializeTest, WritesNothing) {
  vqtest::ClearLoggerVariables();
  vqtest::ScratchDir dir;
  AssertToLogfile("early.c", 1, "too early");
  AssertToLogfile(nullptr, 2, nullptr);
  char flag = 0;
  ASSERT_TRUE(InitializeLogger(&flag, 0, dir.path().c_str()));
  AssertToLogfile("late.c", 3, "in time");
  std::string path = vqtest::AssertLogIn(dir.path());
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(vqtest::NormalizeLines(vqtest::ReadFileBytes(path)),
            std::string(vqtest::kAssertFirstLine) + "<TS>\t<TID>\tlate.c\t3\tin time\r\n");
}

}  // namespace
