// A write that fails part-way or outright (here: the process's file-size
// limit, as a full disk would) loses only its own record. The file keeps
// whole lines only, and the next record after the disk has room again is
// written, in both logs.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "support/test_support.h"
#include "vqlogger.h"

#ifndef _WIN32
#include <signal.h>
#endif

namespace {

#ifndef _WIN32

using vqtest::FileSizeLimit;

TEST(FullDiskTest, FailedWritesLoseOnlyTheirOwnRecords) {
  vqtest::UnsetEnv("LOGGING_DIR");
  vqtest::UnsetEnv("LOGGING_ENABLED_ASSERT");
  vqtest::UnsetEnv("LOGGING_ENABLED_RUNTIME");
  // Past the limit, write() fails with EFBIG instead of killing the process.
  signal(SIGXFSZ, SIG_IGN);
  vqtest::ScratchDir dir;
  char flag = 0;
  ASSERT_TRUE(InitializeLogger(&flag, 0, dir.path().c_str()));
  const std::string runtime_path = vqtest::RuntimeLogIn(dir.path());
  const std::string assert_path = vqtest::AssertLogIn(dir.path());
  ASSERT_FALSE(runtime_path.empty() || assert_path.empty());

  std::string runtime_expected = vqtest::kRuntimeFirstLine;
  std::string assert_expected = vqtest::kAssertFirstLine;
  int line = 0;
  // One record to each log; `kept` says whether they must be in the files.
  auto write_both = [&](const std::string& text, bool kept) {
    ++line;
    RuntimeInfoToLogfileA("disk.c", line, text.c_str(), 2);
    AssertToLogfile("disk.c", line, text.c_str());
    if (kept) {
      runtime_expected += "<TS>\t<TID>\tdisk.c\t" + std::to_string(line) + "\t" + text + "\t2\r\n";
      assert_expected += "<TS>\t<TID>\tdisk.c\t" + std::to_string(line) + "\t" + text + "\r\n";
    }
  };
  auto smaller_size = [&] {
    return std::min(vqtest::ReadFileBytes(runtime_path).size(),
                    vqtest::ReadFileBytes(assert_path).size());
  };
  auto larger_size = [&] {
    return std::max(vqtest::ReadFileBytes(runtime_path).size(),
                    vqtest::ReadFileBytes(assert_path).size());
  };

  for (int i = 0; i < 3; ++i) write_both("before-" + std::to_string(i), true);

  FileSizeLimit limit;
  // Room for 100 more bytes in the larger file: every record below is cut
  // short part-way in both files.
  size_t cap = larger_size() + 100;
  size_t crossing = cap - smaller_size() + 100;
  ASSERT_TRUE(limit.Set(cap));
  for (int i = 0; i < 3; ++i) write_both("cut-" + std::string(crossing, 'c'), false);
  ASSERT_TRUE(limit.Lift());
  write_both("between", true);

  // No room at all in the larger file: refused outright there, cut short in
  // the smaller one.
  cap = larger_size();
  crossing = cap - smaller_size() + 100;
  ASSERT_TRUE(limit.Set(cap));
  for (int i = 0; i < 3; ++i) write_both("refused-" + std::string(crossing, 'r'), false);
  ASSERT_TRUE(limit.Lift());

  for (int i = 0; i < 3; ++i) write_both("after-" + std::to_string(i), true);
  // A message too long for a record: its fallback line is written in full.
  RuntimeInfoToLogfileA("disk.c", 99, std::string(4000, 'f').c_str(), 2);
  runtime_expected += "<TS>\t<TID>\tdisk.c\t99\tLog Message too Long\t2\r\n";

  EXPECT_EQ(vqtest::NormalizeLines(vqtest::ReadFileBytes(runtime_path)), runtime_expected);
  EXPECT_EQ(vqtest::NormalizeLines(vqtest::ReadFileBytes(assert_path)), assert_expected);
}

#else

TEST(FullDiskTest, FailedWritesLoseOnlyTheirOwnRecords) {
  GTEST_SKIP() << "needs a per-process file-size limit (RLIMIT_FSIZE) to make writes fail";
}

#endif

}  // namespace
