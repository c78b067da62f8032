// What a host or a neighbour can do to a process that logs: a signal
// handler that logs on a thread already inside the library, a thread
// cancelled while it logs, and files planted at the log's predictable name
// in a shared directory. Each case runs in a child process with a bound, so
// a hang is a failure and not a stuck run.
#include <gtest/gtest.h>

#ifndef _WIN32

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"
#include "vqlogger.h"

namespace {

const char kLoopLine[] = "<TS>\t<TID>\tloop.c\t1\tlooping\t1\r\n";
const char kOtherLine[] = "<TS>\t<TID>\tother.c\t2\tbeside\t1\r\n";
const char kHandlerLine[] = "<TS>\t<TID>\thandler.c\t3\tfrom the handler\t9\r\n";

void LogFromHandler(int) {
  int saved = errno;
  RuntimeInfoToLogfileA("handler.c", 3, "from the handler", 9);
  errno = saved;
}

// Counts each kind of record line; any other line fails the test.
std::vector<int> CountLines(const std::string& path, const std::vector<std::string>& kinds) {
  std::vector<int> counts(kinds.size(), 0);
  for (const std::string& line : vqtest::RecordLines(path, vqtest::kRuntimeFirstLine)) {
    std::string normal = vqtest::MaskThreadIds(line);
    size_t i = 0;
    while (i < kinds.size() && kinds[i] != normal) ++i;
    if (i == kinds.size()) {
      ADD_FAILURE() << "unexpected line: " << line;
      break;
    }
    ++counts[i];
  }
  return counts;
}

TEST(HostileHostTest, SignalHandlerThatLogsNeverWaitsForItsOwnThread) {
  struct Case {
    const char* name;
    int other_writers;
  };
  const Case cases[] = {{"the thread alone", 0}, {"beside two other writers", 2}};
  vqtest::ClearLoggerVariables();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    vqtest::ScratchDir dir;
    const std::string path = dir.path();
    vqtest::ChildOutcome outcome = vqtest::RunInChild(
        [&]() -> int {
          char flag = 0;
          if (!InitializeLogger(&flag, 1, path.c_str())) return 3;
          struct sigaction action = {};
          action.sa_handler = LogFromHandler;
          action.sa_flags = SA_RESTART;
          sigaction(SIGUSR1, &action, nullptr);
          std::atomic<bool> stop{false};
          std::thread target([&] {
            while (!stop.load()) RuntimeInfoToLogfileA("loop.c", 1, "looping", 1);
          });
          std::vector<std::thread> others;
          for (int i = 0; i < c.other_writers; ++i) {
            others.emplace_back([&] {
              while (!stop.load()) RuntimeInfoToLogfileA("other.c", 2, "beside", 1);
            });
          }
          for (int i = 0; i < 2000; ++i) {
            pthread_kill(target.native_handle(), SIGUSR1);
            if (i % 8 == 7) usleep(100);
          }
          stop.store(true);
          target.join();
          for (std::thread& t : others) t.join();
          return 0;
        },
        30000);
    ASSERT_TRUE(outcome.exited && outcome.exit_code == 0) << outcome.Describe();
    std::vector<int> counts = CountLines(vqtest::RuntimeLogIn(path, outcome.pid),
                                         {kLoopLine, kOtherLine, kHandlerLine});
    EXPECT_GT(counts[0], 0);
    EXPECT_EQ(counts[1] > 0, c.other_writers > 0);
    // Written whenever that breaks no line, so most land between writes.
    EXPECT_GT(counts[2], 0);
  }
}

void* CancelledWorker(void* dir) {
  // Pending from the start: any cancellation point inside the library
  // would act on it there.
  pthread_cancel(pthread_self());
  char flag = 0;
  if (!InitializeLogger(&flag, 1, static_cast<const char*>(dir))) return nullptr;
  for (int i = 0; i < 100; ++i) RuntimeInfoToLogfileA("loop.c", 1, "looping", 1);
  AssertToLogfile("loop.c", 1, "cancelled later");
  pthread_testcancel();
  return nullptr;
}

void* LoopingWorker(void*) {
  for (;;) {
    RuntimeInfoToLogfileA("loop.c", 1, "looping", 1);
    pthread_testcancel();
  }
}

TEST(HostileHostTest, CancelTakesEffectOnlyOutsideTheLibrary) {
  vqtest::ClearLoggerVariables();
  vqtest::ScratchDir dir;
  const std::string path = dir.path();
  vqtest::ChildOutcome outcome = vqtest::RunInChild(
      [&]() -> int {
        pthread_t worker;
        void* result = nullptr;
        pthread_create(&worker, nullptr, CancelledWorker, const_cast<char*>(path.c_str()));
        pthread_join(worker, &result);
        if (result != PTHREAD_CANCELED) return 4;
        // Cancelled while it logs in a loop: it leaves no lock and no
        // writer's role behind.
        pthread_create(&worker, nullptr, LoopingWorker, nullptr);
        usleep(20000);
        pthread_cancel(worker);
        pthread_join(worker, &result);
        if (result != PTHREAD_CANCELED) return 5;
        RuntimeInfoToLogfileA("other.c", 2, "beside", 1);
        return 0;
      },
      20000);
  ASSERT_TRUE(outcome.exited && outcome.exit_code == 0) << outcome.Describe();
  const std::string runtime = vqtest::RuntimeLogIn(path, outcome.pid);
  std::vector<int> counts = CountLines(runtime, {kLoopLine, kOtherLine});
  EXPECT_GE(counts[0], 100);
  EXPECT_EQ(counts[1], 1);
  EXPECT_EQ(vqtest::MaskThreadIds(vqtest::LastLine(runtime)), kOtherLine);
  const std::vector<std::string> asserts =
      vqtest::RecordLines(vqtest::AssertLogIn(path, outcome.pid), vqtest::kAssertFirstLine);
  ASSERT_EQ(asserts.size(), 1u);
  EXPECT_EQ(vqtest::MaskThreadIds(asserts[0]), "<TS>\t<TID>\tloop.c\t1\tcancelled later\r\n");
}

TEST(HostileHostTest, FilePlantedAtTheLogNameIsNotAdopted) {
  enum class Plant { kForeign, kHardLink, kSymlink, kOwnShared, kOwn };
  struct Case {
    const char* name;
    Plant plant;
    bool adopted;
  };
  const Case cases[] = {
      {"another user's file", Plant::kForeign, false},
      {"a hard link to a file of ours", Plant::kHardLink, false},
      {"a symbolic link", Plant::kSymlink, false},
      {"our own file, writable by others", Plant::kOwnShared, false},
      {"our own file, from a start in the same second", Plant::kOwn, true},
  };
  const uid_t kNobody = 65534;
  const std::string kVictim = "victim's bytes\n";
  vqtest::ClearLoggerVariables();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.plant == Plant::kForeign && geteuid() != 0) {
      ADD_FAILURE() << "not run: planting another user's file needs root";
      continue;
    }
    vqtest::ScratchDir dir;
    // A shared directory that is not sticky, as an application's common
    // log folder may be: the kernel's guards for sticky directories do not
    // apply.
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
    const std::string victim = dir.Join("victim");
    vqtest::WriteFileBytes(victim, kVictim);
    const std::string path = dir.path();
    vqtest::ChildOutcome outcome = vqtest::RunInChild(
        [&]() -> int {
          for (const char* suffix : {"_runtime.log", "_assert.log"}) {
            for (const std::string& name : vqtest::PredictedLogPaths(path, suffix, 3)) {
              int made = 0;
              switch (c.plant) {
                case Plant::kForeign:
                  vqtest::WriteFileBytes(name, "");
                  made = chown(name.c_str(), kNobody, kNobody) | chmod(name.c_str(), 0666);
                  break;
                case Plant::kHardLink: made = link(victim.c_str(), name.c_str()); break;
                case Plant::kSymlink: made = symlink(victim.c_str(), name.c_str()); break;
                case Plant::kOwnShared:
                  vqtest::WriteFileBytes(name, "");
                  made = chmod(name.c_str(), 0666);
                  break;
                case Plant::kOwn: vqtest::WriteFileBytes(name, "old bytes\r\n"); break;
              }
              if (made != 0) return 2;
            }
          }
          char flag = 0;
          bool opened = InitializeLogger(&flag, 1, path.c_str());
          RuntimeInfoToLogfileA("other.c", 2, "beside", 1);
          return opened ? 1 : 0;
        },
        20000);
    ASSERT_TRUE(outcome.exited) << outcome.Describe();
    EXPECT_EQ(outcome.exit_code, c.adopted ? 1 : 0);
    EXPECT_EQ(vqtest::ReadFileBytes(victim), kVictim);
    std::vector<std::string> logs = vqtest::FindLogFiles(path, "_runtime.log", outcome.pid);
    EXPECT_FALSE(logs.empty());
    for (const std::string& log : logs) {
      struct stat st;
      ASSERT_EQ(lstat(log.c_str(), &st), 0) << log;
      if (c.adopted && st.st_size > 11) {
        const std::vector<std::string> lines = vqtest::RecordLines(log, vqtest::kRuntimeFirstLine);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(vqtest::MaskThreadIds(lines[0]), kOtherLine);
      } else if (c.plant == Plant::kForeign || c.plant == Plant::kOwnShared) {
        EXPECT_EQ(st.st_size, 0) << log;
        EXPECT_EQ(st.st_uid, c.plant == Plant::kForeign ? kNobody : geteuid()) << log;
      }
    }
  }
}

}  // namespace

#endif  // _WIN32
