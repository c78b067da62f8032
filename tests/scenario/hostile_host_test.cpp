// What a host or a neighbour can do to a process that logs: a signal
// handler that logs on a thread already inside the library, a thread
// cancelled while it logs, files planted at the log's predictable name in a
// shared directory. Each case runs in a child process with a bound, so a
// hang is a failure and not a stuck run.
#include <gtest/gtest.h>

#ifndef _WIN32

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"
#include "vqlogger.h"

namespace {

const char kLoop[] = "<TS>\t<TID>\tloop.c\t1\tlooping\t1\r\n";
const char kOther[] = "<TS>\t<TID>\tother.c\t2\tbeside\t1\r\n";
const char kHandler[] = "<TS>\t<TID>\thandler.c\t3\tfrom the handler\t9\r\n";

void Loop() { RuntimeInfoToLogfileA("loop.c", 1, "looping", 1); }
void Other() { RuntimeInfoToLogfileA("other.c", 2, "beside", 1); }

// Runs `body` in a child in a fresh directory; returns the child's record
// lines of `suffix`'s log, thread ids masked (empty when it failed).
std::vector<std::string> InChild(const std::string& dir, const std::function<int()>& body, int want,
                                 int* pid = nullptr, const char* suffix = "_runtime.log") {
  vqtest::ChildOutcome outcome = vqtest::RunInChild(body, 30000);
  if (pid != nullptr) *pid = outcome.pid;
  EXPECT_TRUE(outcome.exited && outcome.exit_code == want) << outcome.Describe();
  std::vector<std::string> lines;
  for (const std::string& log : vqtest::FindLogFiles(dir, suffix, outcome.pid)) {
    std::string first = suffix[1] == 'r' ? vqtest::kRuntimeFirstLine : vqtest::kAssertFirstLine;
    if (vqtest::ReadFileBytes(log).size() < first.size()) continue;  // a planted file, not ours
    for (const std::string& line : vqtest::RecordLines(log, first)) lines.push_back(vqtest::MaskThreadIds(line));
  }
  return lines;
}

int Count(const std::vector<std::string>& lines, const char* line) {
  int n = 0;
  for (const std::string& l : lines) n += l == line;
  return n;
}

TEST(HostileHostTest, SignalHandlerThatLogsNeverWaitsForItsOwnThread) {
  vqtest::ClearLoggerVariables();
  for (int others : {0, 2}) {
    SCOPED_TRACE(others);
    vqtest::ScratchDir dir;
    const std::string path = dir.path();
    std::vector<std::string> lines = InChild(path, [&] {
      char flag = 0;
      if (!InitializeLogger(&flag, 1, path.c_str())) return 3;
      struct sigaction action = {};
      action.sa_handler = [](int) {
        int saved = errno;
        RuntimeInfoToLogfileA("handler.c", 3, "from the handler", 9);
        errno = saved;
      };
      action.sa_flags = SA_RESTART;
      sigaction(SIGUSR1, &action, nullptr);
      std::atomic<bool> stop{false};
      std::vector<std::thread> threads;
      for (int i = 0; i <= others; ++i) threads.emplace_back([&, i] { while (!stop) i ? Other() : Loop(); });
      for (int i = 0; i < 2000; ++i) {
        pthread_kill(threads[0].native_handle(), SIGUSR1);
        if (i % 8 == 7) usleep(100);
      }
      stop = true;
      for (std::thread& t : threads) t.join();
      return 0;
    }, 0);
    int loop = Count(lines, kLoop), other = Count(lines, kOther), handler = Count(lines, kHandler);
    EXPECT_EQ(loop + other + handler, static_cast<int>(lines.size())) << "a line broken or of no one's";
    EXPECT_GT(loop, 0);
    EXPECT_EQ(other > 0, others > 0);
    EXPECT_TRUE(others > 0 || handler > 0);  // with others logging, all 2,000 can land where it is dropped
    // A handler's line never comes after lines stamped later.
    for (size_t i = 1; i < lines.size(); ++i) {
      ASSERT_LE(vqtest::TimestampOrder(lines[i - 1]), vqtest::TimestampOrder(lines[i])) << lines[i];
    }
  }
}

TEST(HostileHostTest, CancelTakesEffectOnlyOutsideTheLibrary) {
  vqtest::ClearLoggerVariables();
  vqtest::ScratchDir dir;
  static std::string path;
  path = dir.path();
  auto cancelled = [](void* (*body)(void*), bool cancel_later) {
    pthread_t worker;
    void* result = nullptr;
    pthread_create(&worker, nullptr, body, nullptr);
    if (cancel_later) usleep(20000), pthread_cancel(worker);
    pthread_join(worker, &result);
    return result == PTHREAD_CANCELED;
  };
  auto body = [&] {
    // Pending from the start: a cancellation point inside the library
    // would act on it there, InitializeLogger's open included.
    if (!cancelled([](void*) -> void* {
          pthread_cancel(pthread_self());
          char flag = 0;
          if (!InitializeLogger(&flag, 1, path.c_str())) return nullptr;
          for (int i = 0; i < 100; ++i) Loop();
          AssertToLogfile("loop.c", 1, "cancelled later");
          pthread_testcancel();
          return nullptr;
        }, false)) {
      return 4;
    }
    // Cancelled while it logs in a loop: no lock or writer's role stays behind.
    if (!cancelled([](void*) -> void* { for (;;) Loop(), pthread_testcancel(); }, true)) return 5;
    Other();
    return 0;
  };
  vqtest::ChildOutcome outcome = vqtest::RunInChild(body, 20000);
  ASSERT_TRUE(outcome.exited && outcome.exit_code == 0) << outcome.Describe();
  std::vector<std::string> lines;
  for (const std::string& l : vqtest::RecordLines(vqtest::RuntimeLogIn(path, outcome.pid), vqtest::kRuntimeFirstLine)) {
    lines.push_back(vqtest::MaskThreadIds(l));
  }
  ASSERT_FALSE(lines.empty());
  EXPECT_GE(Count(lines, kLoop), 100);
  EXPECT_EQ(Count(lines, kLoop) + 1, static_cast<int>(lines.size()));
  EXPECT_EQ(lines.back(), kOther);
  const std::vector<std::string> asserts =
      vqtest::RecordLines(vqtest::AssertLogIn(path, outcome.pid), vqtest::kAssertFirstLine);
  ASSERT_EQ(asserts.size(), 1u);
  EXPECT_EQ(vqtest::MaskThreadIds(asserts[0]), "<TS>\t<TID>\tloop.c\t1\tcancelled later\r\n");
}

TEST(HostileHostTest, FilePlantedAtTheLogNameIsNotAdopted) {
  const uid_t kNobody = 65534;
  const std::string kVictim = "victim's bytes\n";
  // How each name is planted (0 when done), whose the planted file is, and
  // whether the library may use it.
  struct Case {
    const char* name;
    std::function<int(const std::string& name, const std::string& victim)> plant;
    uid_t owner;
    bool adopted;
  };
  auto empty_file = [](const std::string& name, uid_t owner) {
    vqtest::WriteFileBytes(name, "");
    return chown(name.c_str(), owner, owner) | chmod(name.c_str(), 0666);
  };
  const Case cases[] = {
      {"another user's file", [&](auto& n, auto&) { return empty_file(n, kNobody); }, kNobody, false},
      {"a hard link to a file of ours", [](auto& n, auto& v) { return link(v.c_str(), n.c_str()); }, 0, false},
      {"a symbolic link", [](auto& n, auto& v) { return symlink(v.c_str(), n.c_str()); }, 0, false},
      {"our own file, writable by others", [&](auto& n, auto&) { return empty_file(n, geteuid()); }, geteuid(), false},
      {"our own file, from a start in the same second",
       [](auto& n, auto&) { return vqtest::WriteFileBytes(n, "old bytes\r\n"), 0; }, 0, true},
  };
  vqtest::ClearLoggerVariables();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.owner == kNobody && geteuid() != 0) {
      ADD_FAILURE() << "not run: planting another user's file needs root";
      continue;
    }
    vqtest::ScratchDir dir;
    // A shared directory that is not sticky, as an application's common log
    // folder may be: the kernel's guards for sticky directories do not apply.
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
    const std::string path = dir.path(), victim = dir.Join("victim");
    vqtest::WriteFileBytes(victim, kVictim);
    int pid = 0;
    std::vector<std::string> lines = InChild(path, [&] {
      for (const char* suffix : {"_runtime.log", "_assert.log"}) {
        for (const std::string& name : vqtest::PredictedLogPaths(path, suffix, 3)) {
          if (c.plant(name, victim) != 0) return 2;
        }
      }
      char flag = 0;
      bool opened = InitializeLogger(&flag, 1, path.c_str());
      Other();
      return opened ? 1 : 0;
    }, c.adopted ? 1 : 0, &pid);
    EXPECT_EQ(vqtest::ReadFileBytes(victim), kVictim);
    EXPECT_EQ(lines, c.adopted ? std::vector<std::string>{kOther} : std::vector<std::string>{});
    std::vector<std::string> logs = vqtest::FindLogFiles(path, "_runtime.log", pid);
    EXPECT_FALSE(logs.empty());
    for (const std::string& log : logs) {
      struct stat st;
      ASSERT_EQ(lstat(log.c_str(), &st), 0) << log;
      if (c.owner != 0) {
        EXPECT_TRUE(st.st_size == 0 && st.st_uid == c.owner) << log;
      }
    }
  }
}

}  // namespace

#endif  // _WIN32
