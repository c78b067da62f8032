// The helper header from C++ and from C: the level rule, the assert macro,
// and formatting through the variadic helper.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "helpers_exercise.h"
#include "tool_test_support.h"

namespace {

const std::vector<std::string> kExpectedRuntime = {
    "exercise.c\t5\tlevel 1 of 2\t1",
    "exercise.c\t6\t[ab  |beef]\t2",
    "exercise.c\t8\tnarrow, negative level\t-5",
    "exercise.c\t12\tevaluated=0\t0",
    "direct.c\t7\t   42|\t9",
};
const std::vector<std::string> kExpectedAssert = {"exercise.c\t9\t1 + 1 == 3"};

void ExpectExercised(const std::string& dir) {
  EXPECT_EQ(vqtest::RecordsWithoutTimeAndThread(vqtest::OnlyFileEndingWith(dir, "_runtime.log"),
                                                vqtest::kRuntimeFirstLine),
            kExpectedRuntime);
  EXPECT_EQ(vqtest::RecordsWithoutTimeAndThread(vqtest::OnlyFileEndingWith(dir, "_assert.log"),
                                                vqtest::kAssertFirstLine),
            kExpectedAssert);
}

TEST(HelpersTest, LevelRuleIssuesUpToAPositiveLevel) {
  vqtest::ClearLoggerVariables();
  vqtest::ScratchDir dir;
  char flag = 0;
  ASSERT_TRUE(InitializeLogger(&flag, 0, dir.path().c_str()));
  struct Case {
    int current, level, issued;
  };
  const Case cases[] = {{0, 0, 0}, {0, -1, 0}, {0, 1, 0}, {-3, -5, 0}, {1, 1, 1},
                        {1, 2, 0}, {3, -2, 1}, {3, 0, 1}, {3, 3, 1}, {3, 4, 0}};
  for (const Case& c : cases) {
    SetLoggingLevel(c.current);
    EXPECT_EQ(VqLevelIssued(c.level), c.issued) << "level " << c.level << " at " << c.current;
  }
}

TEST(HelpersTest, MacrosWriteTheExpectedRecordsFromCpp) {
  vqtest::ClearLoggerVariables();
  vqtest::ScratchDir dir;
  char flag = 0;
  ASSERT_TRUE(InitializeLogger(&flag, 1, dir.path().c_str()));
  ASSERT_EQ(flag, 1);
  ExerciseHelpers(flag);
  ExpectExercised(dir.path());
}

TEST(HelpersTest, MacrosWriteTheExpectedRecordsFromC) {
#ifdef _WIN32
  GTEST_SKIP() << "the C host runs in the POSIX builds";
#else
  vqtest::ClearLoggerVariables();
  vqtest::ScratchDir dir;
  std::string command = vqtest::ShellQuote(VQ_HELPERS_C_HOST) + " " + vqtest::ShellQuote(dir.path());
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  ExpectExercised(dir.path());
#endif
}

}  // namespace
