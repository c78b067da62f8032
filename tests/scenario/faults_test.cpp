// Faults around the files: the log directory removed while the process runs,
// no usable directory at start-up (built so that it fails for root too),
// and InitializeLogger racing itself from many threads.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include "support/test_support.h"
#include "vqlogger.h"

namespace fs = std::filesystem;

namespace vqtest {
namespace {

#ifndef _WIN32
// An open file descriptor of this process whose target is `path` (the
// library's own), or -1.
int OpenDescriptorOf(const std::string& path) {
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    fs::path target = fs::read_symlink(entry.path(), ec);
    if (!ec && target.string().rfind(path, 0) == 0) return std::stoi(entry.path().filename().string());
  }
  return -1;
}

// Records keep going to the open file after its directory is gone (Windows
// cannot remove a directory while a file in it is open, so POSIX only).
TEST(FaultsTest, DirectoryRemovedWhileRunningKeepsTheOpenFile) {
  ClearLoggerVariables();
  ScratchDir scratch;
  const std::string dir = scratch.Join("logs");
  char flag = 0;
  ASSERT_TRUE(InitializeLogger(&flag, 1, dir.c_str()));
  const std::string runtime = RuntimeLogIn(dir);
  RuntimeInfoToLogfileA("f.c", 1, "before", 1);
  fs::remove_all(dir);
  ASSERT_FALSE(PathExists(dir));

  RuntimeInfoToLogfileA("f.c", 2, "after", 1);
  AssertToLogfile("f.c", 3, "after");
  // A later call with no directory must not move or reopen anything.
  EXPECT_TRUE(InitializeLogger(&flag, 0, nullptr));
  RuntimeInfoToLogfileA("f.c", 4, "still", 1);
  EXPECT_FALSE(PathExists(dir));

  // The unlinked file is still reachable through the library's descriptor.
  int fd = OpenDescriptorOf(runtime);
  ASSERT_GE(fd, 0);
  std::string through_fd = ReadFileBytes("/proc/self/fd/" + std::to_string(fd));
  ASSERT_EQ(through_fd.compare(0, strlen(kRuntimeFirstLine), kRuntimeFirstLine), 0);
  EXPECT_EQ(NormalizeLines(through_fd.substr(strlen(kRuntimeFirstLine))),
            "<TS>\t<TID>\tf.c\t1\tbefore\t1\r\n"
            "<TS>\t<TID>\tf.c\t2\tafter\t1\r\n"
            "<TS>\t<TID>\tf.c\t4\tstill\t1\r\n");
}
#endif

// Neither the requested directory nor the temporary directory can hold a
// file (a regular file stands where each directory must be): the call fails
// and every record is dropped quietly; once the temporary directory is
// usable again, the next call opens both files there.
TEST(FaultsTest, NoUsableDirectoryAtStartUpThenRecovery) {
  ClearLoggerVariables();
  ScratchDir scratch;
  const std::string blocker = scratch.Join("blocker");
  WriteFileBytes(blocker, "a regular file, not a directory");
  UseAsTempDirectory(blocker);

  char flag = 0;
  const std::string wanted = blocker + Separator() + "logs";
  EXPECT_FALSE(InitializeLogger(&flag, 1, wanted.c_str()));
  RuntimeInfoToLogfileA("f.c", 1, "dropped", 1);
  AssertToLogfile("f.c", 2, "dropped");
  EXPECT_EQ(ReadFileBytes(blocker), "a regular file, not a directory");
  EXPECT_EQ(GetLoggingLevel(), 1);  // the runtime logger exists all the same

  const std::string temp = scratch.Join("temp");
  fs::create_directory(temp);
  UseAsTempDirectory(temp);
  EXPECT_TRUE(InitializeLogger(&flag, 1, wanted.c_str()));
  RuntimeInfoToLogfileA("f.c", 3, "kept", 1);
  EXPECT_EQ(NormalizedRecords(RuntimeLogIn(temp), kRuntimeFirstLine), "<TS>\t<TID>\tf.c\t3\tkept\t1\r\n");
  EXPECT_EQ(NormalizedRecords(AssertLogIn(temp), kAssertFirstLine), "");
}

// Eight threads call InitializeLogger at the same moment: all succeed, and
// there is exactly one pair of files.
TEST(FaultsTest, InitializeFromEightThreadsAtOnceMakesOnePairOfFiles) {
  ClearLoggerVariables();
  ScratchDir dir;
  std::atomic<int> ready{0};
  std::atomic<int> succeeded{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&, i] {
      ready.fetch_add(1);
      while (ready.load() < 8) {
      }
      char flag = 0;
      if (InitializeLogger(&flag, i + 1, dir.path().c_str()) && flag == 1) succeeded.fetch_add(1);
      RuntimeInfoToLogfileA("t.c", i, "x", i);
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(succeeded.load(), 8);
  EXPECT_EQ(FindLogFiles(dir.path(), "_runtime.log").size(), 1u);
  EXPECT_EQ(FindLogFiles(dir.path(), "_assert.log").size(), 1u);
  EXPECT_EQ(RecordLines(RuntimeLogIn(dir.path()), kRuntimeFirstLine).size(), 8u);
}

}  // namespace
}  // namespace vqtest
