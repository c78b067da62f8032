// `vqlog write`: records from standard input in each mode, --print-paths,
// LOGGING_DIR over --dir, and the failure of InitializeLogger.
#include <filesystem>
#include <string>
#include <vector>

#include "tool_test_support.h"

namespace {

TEST(VqlogWriteTest, EachLineOfStandardInputBecomesARecord) {
  struct Case {
    std::vector<std::string> mode;
    std::vector<std::string> runtime, assert_records;
  };
  const Case cases[] = {
      {{}, {"s.c\t1\tone\t3", "s.c\t2\tt\xC3\xA9o\t3", "s.c\t3\t\t3"}, {}},
      {{"--hex"}, {"s.c\t1\t6F6E65\t3", "s.c\t2\t74C3A96F0D\t3", "s.c\t3\t\t3"}, {}},  // bytes as read
      {{"--assert"}, {}, {"s.c\t1\tone", "s.c\t2\tt\xC3\xA9o", "s.c\t3\t"}},
      {{"--line", "40"}, {"s.c\t40\tone\t3", "s.c\t40\tt\xC3\xA9o\t3", "s.c\t40\t\t3"}, {}},
  };
  for (const Case& c : cases) {
    vqtest::ScratchDir dir;
    std::vector<std::string> args = {"write", "--dir", dir.path(), "--level", "3", "--source", "s.c",
                                     "--print-paths"};
    args.insert(args.end(), c.mode.begin(), c.mode.end());
    vqtest::ToolRun run = vqtest::RunProgram(VQLOG_PATH, args, "one\nt\xC3\xA9o\r\n\n");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    std::string runtime = vqtest::OnlyFileEndingWith(dir.path(), "_runtime.log");
    std::string assert_log = vqtest::OnlyFileEndingWith(dir.path(), "_assert.log");
    EXPECT_EQ(run.out, runtime + "\n" + assert_log + "\n");
    EXPECT_EQ(vqtest::RecordsWithoutTimeAndThread(runtime, vqtest::kRuntimeFirstLine), c.runtime);
    EXPECT_EQ(vqtest::RecordsWithoutTimeAndThread(assert_log, vqtest::kAssertFirstLine), c.assert_records);
  }
}

TEST(VqlogWriteTest, PrintsThePathsLoggingDirChose) {
  vqtest::ScratchDir env_dir, host_dir;
  vqtest::ToolRun run = vqtest::RunProgram(VQLOG_PATH, {"write", "--dir", host_dir.path(), "--print-paths", "m"},
                                           "", "LOGGING_DIR=" + vqtest::ShellQuote(env_dir.path()));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, vqtest::OnlyFileEndingWith(env_dir.path(), "_runtime.log") + "\n" +
                         vqtest::OnlyFileEndingWith(env_dir.path(), "_assert.log") + "\n");
  EXPECT_TRUE(std::filesystem::is_empty(host_dir.path()));
}

TEST(VqlogWriteTest, FailsWithOneLineWhenTheLogsCannotBeCreated) {
  vqtest::ScratchDir dir;
  // A regular file where the log directory should be: the directory check
  // passes, creating the log file in it cannot.
  std::string file = dir.Join("not-a-directory");
  vqtest::WriteFileBytes(file, "x");
  vqtest::ToolRun run =
      vqtest::RunProgram(VQLOG_PATH, {"write", "m"}, "", "LOGGING_DIR=" + vqtest::ShellQuote(file));
  EXPECT_NE(run.status, 0);
  EXPECT_EQ(run.err, "vqlog: LOGGING_DIR names a regular file: " + file + "\n");
  EXPECT_EQ(run.out, "");
}

}  // namespace
