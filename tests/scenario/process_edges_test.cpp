// The edges of a host process's life: exit() while other threads log, fork()
// while another thread holds a logger's lock, a parent and a child writing
// the same file when the disk fills, and something other than a regular file
// at the log file's predictable name. Each case runs the host in a child
// process (or under an alarm), so a crash or a hang is a result, not a
// stuck test.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"
#include "vqlogger.h"

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

#ifndef _WIN32

// Set by a child just before it exits: this program's own ELF destructor,
// which runs after the library's exit-time teardown, then tries one more
// record (which must have no effect) and stays a while, so the threads
// still logging have time to reach whatever the teardown left behind.
std::atomic<bool> slow_exit{false};

__attribute__((destructor)) void SlowExitAfterTheTeardown() {
  if (!slow_exit.load()) return;
  RuntimeInfoToLogfileA("after-teardown.c", 1, "written after the teardown", 1);
  AssertToLogfile("after-teardown.c", 1, "written after the teardown");
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
}

// Log files of any process in `dir` whose names end with `suffix`.
std::vector<std::string> LogFilesOfAnyProcess(const std::string& dir, const std::string& suffix) {
  std::vector<std::string> found;
  for (const auto& entry : fs::directory_iterator(dir)) {
    std::string name = entry.path().filename().string();
    if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(),
                                                    suffix) == 0) {
      found.push_back(entry.path().string());
    }
  }
  return found;
}

size_t CountTabs(const std::string& line) {
  size_t tabs = 0;
  for (char c : line) tabs += c == '\t';
  return tabs;
}

// Every line after the header is one whole record of `columns` columns with
// a well-formed time stamp, and none came from after the teardown. Returns
// the number of records, or -1 with a test failure.
long CheckWholeRecords(const std::string& path, const std::string& first_line, size_t columns) {
  std::vector<std::string> lines = vqtest::RecordLines(path, first_line);
  for (const std::string& line : lines) {
    bool whole = line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0 &&
                 CountTabs(line) == columns - 1 &&
                 vqtest::IsWellFormedTimestamp(line.substr(0, line.find('\t'))) &&
                 line.find("after-teardown.c") == std::string::npos;
    if (!whole) {
      ADD_FAILURE() << path << ": not a whole record: " << line;
      return -1;
    }
  }
  return static_cast<long>(lines.size());
}

// Threads log every way they can until the process ends.
void LogUntilTheEnd(int id, const std::string& dir, std::atomic<long>* records) {
  char text[64];
  char16_t wide[] = u"wide \u00e9 text";
  for (long i = 0;; ++i) {
    snprintf(text, sizeof text, "worker %d record %ld \xc3\xa9", id, i);
    RuntimeInfoToLogfileA("exit.c", id, text, 1);
    AssertToLogfile("exit.c", id, text);
    RuntimeInfoToLogfile("exit.c", id, reinterpret_cast<const VqWideChar*>(wide), 2);
    if (i % 16 == 0) {
      char flag = 0;
      // A non-null directory goes through the directory steps again.
      InitializeLogger(&flag, -1, id == 0 ? dir.c_str() : nullptr);
      SetLoggingLevel(id);
      GetLoggingLevel();
    }
    records->fetch_add(1);
  }
}

enum class Exiter { kMainThread, kWorkerThread };

struct ExitCase {
  const char* name;
  Exiter exiter;
};

TEST(ProcessExitTest, ExitWhileOtherThreadsLogTouchesNothingFreed) {
  const ExitCase cases[] = {
      {"main calls exit", Exiter::kMainThread},
      {"a worker calls exit", Exiter::kWorkerThread},
  };
  // Bounded by count and by time: many runs, each with four writers.
  constexpr int kRounds = 12;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(40);
  vqtest::ClearLoggerVariables();
  for (const ExitCase& c : cases) {
    for (int round = 0; round < kRounds && std::chrono::steady_clock::now() < deadline; ++round) {
      vqtest::ScratchDir dir;
      const std::string path = dir.path();
      vqtest::ChildOutcome outcome = vqtest::RunInChild(
          [&]() -> int {
            char flag = 0;
            if (!InitializeLogger(&flag, 1, path.c_str())) return 3;
            std::atomic<long> records{0};
            std::vector<std::thread> workers;
            for (int id = 0; id < 4; ++id) {
              workers.emplace_back([id, &path, &records, &c] {
                if (id == 3 && c.exiter == Exiter::kWorkerThread) {
                  while (records.load() < 200) std::this_thread::yield();
                  slow_exit.store(true);
                  exit(0);
                }
                LogUntilTheEnd(id, path, &records);
              });
            }
            if (c.exiter == Exiter::kWorkerThread) {
              for (std::thread& worker : workers) worker.join();  // never returns
            }
            while (records.load() < 200) std::this_thread::yield();
            slow_exit.store(true);
            exit(0);
          },
          20000);
      ASSERT_TRUE(outcome.exited && outcome.exit_code == 0)
          << c.name << ", round " << round << ": " << outcome.Describe();
      std::vector<std::string> runtime = LogFilesOfAnyProcess(path, "_runtime.log");
      std::vector<std::string> asserts = LogFilesOfAnyProcess(path, "_assert.log");
      ASSERT_EQ(runtime.size(), 1u) << c.name;
      ASSERT_EQ(asserts.size(), 1u) << c.name;
      EXPECT_GT(CheckWholeRecords(runtime[0], vqtest::kRuntimeFirstLine, 6), 0) << c.name;
      EXPECT_GT(CheckWholeRecords(asserts[0], vqtest::kAssertFirstLine, 5), 0) << c.name;
    }
  }
}

TEST(ForkTest, ChildForkedWhileAnotherThreadLogsCanLog) {
  vqtest::ClearLoggerVariables();
  vqtest::ScratchDir dir;
  char flag = 0;
  ASSERT_TRUE(InitializeLogger(&flag, 1, dir.path().c_str()));
  const std::string runtime_path = vqtest::RuntimeLogIn(dir.path());
  const std::string assert_path = vqtest::AssertLogIn(dir.path());

  std::atomic<bool> stop{false};
  std::atomic<long> busy_records{0};
  // Both loggers' locks and the initialisation lock are taken all the time.
  std::thread busy([&] {
    while (!stop.load()) {
      RuntimeInfoToLogfileA("busy.c", 1, "busy", 1);
      AssertToLogfile("busy.c", 1, "busy");
      InitializeLogger(&flag, -1, nullptr);
      SetLoggingLevel(1);
      busy_records.fetch_add(1);
    }
  });
  while (busy_records.load() < 100) std::this_thread::yield();

  constexpr int kChildren = 20;
  std::vector<std::string> outcomes;
  int hung_or_failed = 0;
  for (int i = 0; i < kChildren; ++i) {
    vqtest::ChildOutcome outcome = vqtest::RunInChild(
        [i]() -> int {
          std::string text = "child " + std::to_string(i);
          RuntimeInfoToLogfileA("child.c", i, text.c_str(), 3);
          AssertToLogfile("child.c", i, text.c_str());
          char child_flag = 0;
          if (!InitializeLogger(&child_flag, -1, nullptr)) return 4;
          SetLoggingLevel(7);
          return GetLoggingLevel() == 7 ? 0 : 5;
        },
        2000);
    if (!(outcome.exited && outcome.exit_code == 0)) ++hung_or_failed;
    outcomes.push_back(outcome.Describe());
  }
  stop.store(true);
  busy.join();
  EXPECT_EQ(hung_or_failed, 0) << "first child: " << outcomes.front();

  // Each child's record is in the inherited files once, as a whole line.
  const std::string runtime = vqtest::MaskThreadIds(vqtest::ReadFileBytes(runtime_path));
  const std::string asserts = vqtest::MaskThreadIds(vqtest::ReadFileBytes(assert_path));
  for (int i = 0; i < kChildren; ++i) {
    std::string prefix = "<TS>\t<TID>\tchild.c\t" + std::to_string(i) + "\t";
    std::string runtime_line = prefix + "child " + std::to_string(i) + "\t3\r\n";
    std::string assert_line = prefix + "child " + std::to_string(i) + "\r\n";
    size_t at = runtime.find(runtime_line);
    EXPECT_TRUE(at != std::string::npos && (at == 0 || runtime[at - 1] == '\n') &&
                runtime.find(runtime_line, at + 1) == std::string::npos)
        << runtime_line;
    at = asserts.find(assert_line);
    EXPECT_TRUE(at != std::string::npos && (at == 0 || asserts[at - 1] == '\n') &&
                asserts.find(assert_line, at + 1) == std::string::npos)
        << assert_line;
  }
}

TEST(SharedFileTest, CutBackAfterAFailedWriteKeepsAnotherWritersLines) {
  vqtest::ClearLoggerVariables();
  signal(SIGXFSZ, SIG_IGN);
  vqtest::ScratchDir dir;
  char flag = 0;
  ASSERT_TRUE(InitializeLogger(&flag, 1, dir.path().c_str()));
  const std::string path = vqtest::RuntimeLogIn(dir.path());

  RuntimeInfoToLogfileA("parent.c", 1, "parent before", 1);
  // The child shares the open file and writes two records of its own.
  vqtest::ChildOutcome child = vqtest::RunInChild(
      [] {
        RuntimeInfoToLogfileA("child.c", 1, "child one", 2);
        RuntimeInfoToLogfileA("child.c", 2, "child two", 2);
        return 0;
      },
      5000);
  ASSERT_TRUE(child.exited && child.exit_code == 0) << child.Describe();

  const std::string before = vqtest::ReadFileBytes(path);
  {
    // Room for 40 more bytes: the parent's next record is cut short part-way.
    vqtest::FileSizeLimit limit;
    ASSERT_TRUE(limit.Set(before.size() + 40));
    RuntimeInfoToLogfileA("parent.c", 2, std::string(200, 'x').c_str(), 1);
  }
  RuntimeInfoToLogfileA("parent.c", 3, "parent after", 1);

  const std::string expected = std::string(vqtest::kRuntimeFirstLine) +
                               "<TS>\t<TID>\tparent.c\t1\tparent before\t1\r\n"
                               "<TS>\t<TID>\tchild.c\t1\tchild one\t2\r\n"
                               "<TS>\t<TID>\tchild.c\t2\tchild two\t2\r\n"
                               "<TS>\t<TID>\tparent.c\t3\tparent after\t1\r\n";
  const std::string bytes = vqtest::ReadFileBytes(path);
  EXPECT_EQ(vqtest::MaskThreadIds(bytes), expected);
  // The forked thread has an id of its own, though the parent's was rendered before the fork.
  const std::string child_id = "\t" + std::to_string(child.pid) + "\tchild.c\t";
  const std::string parent_id = "\t" + std::to_string(vqtest::CurrentTid()) + "\tparent.c\t";
  for (const std::string& id : {child_id + "1\t", child_id + "2\t", parent_id + "3\t"}) {
    EXPECT_NE(bytes.find(id), std::string::npos) << bytes;
  }
}

enum class FifoReader { kNone, kWaiting };

TEST(OddFileTest, FifoAtTheLogPathFailsTheOpenWithoutBlocking) {
  struct Case {
    const char* name;
    FifoReader reader;
  };
  const Case cases[] = {
      {"no reader", FifoReader::kNone},
      {"a reader waiting", FifoReader::kWaiting},
  };
  vqtest::ClearLoggerVariables();
  for (const Case& c : cases) {
    // A hang here is the fault: the alarm ends the test program.
    alarm(20);
    vqtest::ScratchDir planted;
    vqtest::ScratchDir usable;
    std::vector<int> readers;
    for (const std::string& fifo : vqtest::PredictedLogPaths(planted.path(), "_runtime.log", 3)) {
      ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0) << fifo;
      if (c.reader == FifoReader::kWaiting) {
        readers.push_back(open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        ASSERT_GE(readers.back(), 0) << fifo;
      }
    }
    char flag = 0;
    auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(InitializeLogger(&flag, 1, planted.path().c_str())) << c.name;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2)) << c.name;
    EXPECT_TRUE(vqtest::FindLogFiles(planted.path(), "_assert.log").empty()) << c.name;
    for (int fd : readers) {
      char byte;
      // Nothing of the library reached the pipe.
      EXPECT_LE(read(fd, &byte, 1), 0) << c.name;
      close(fd);
    }
    alarm(0);
    if (c.reader == FifoReader::kWaiting) {
      // The failed open left nothing held: the next call opens real files.
      ASSERT_TRUE(InitializeLogger(&flag, 1, usable.path().c_str()));
      RuntimeInfoToLogfileA("odd.c", 1, "real file", 1);
      EXPECT_EQ(vqtest::NormalizedRecords(vqtest::RuntimeLogIn(usable.path()),
                                          vqtest::kRuntimeFirstLine),
                "<TS>\t<TID>\todd.c\t1\treal file\t1\r\n");
    }
  }
}

#else

TEST(ProcessEdgesTest, PosixOnly) {
  GTEST_SKIP() << "exit races, fork and FIFOs are POSIX cases; the Windows detach path has a "
                  "unit test of its own";
}

#endif

}  // namespace
