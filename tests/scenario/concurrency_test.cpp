// Many threads writing both logs at once: every line whole and well formed,
// every record exactly once, each thread's records in the order it wrote
// them and under its own thread id.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"
#include "vqlogger.h"

namespace {

constexpr int kThreads = 8;
constexpr int kRuntimeRecords = 2000;  // per thread; every fourth also asserts

// Each thread's own source file name.
std::string SourceFile(int thread) {
  return "conc-" + std::string(40, static_cast<char>('a' + thread)) + ".c";
}

std::vector<std::string> SplitColumns(const std::string& line) {
  std::vector<std::string> columns;
  size_t start = 0;
  for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1) {
    columns.push_back(line.substr(start, tab - start));
  }
  columns.push_back(line.substr(start));
  return columns;
}

// Checks every record line of one log: it ends with CR LF and has
// `columns` columns: a well-formed time stamp, the writer's thread id, the
// writer's source file, the line number <seq> * step, the message
// "t<thread>-<seq>" and, in the runtime log, the level <thread>. Each
// thread's sequence numbers must run 0, 1, 2, ... up to `count`.
void CheckLog(const std::string& path, const char* first_line, size_t columns,
              const std::vector<int>& tids, int count, int step) {
  std::vector<int> next(kThreads, 0);
  int failures = 0;
  for (const std::string& line : vqtest::RecordLines(path, first_line)) {
    bool ok = line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0;
    std::vector<std::string> c = SplitColumns(line.substr(0, ok ? line.size() - 2 : 0));
    int thread = -1;
    int seq = -1;
    ok = ok && c.size() == columns && vqtest::IsWellFormedTimestamp(c[0]) &&
         sscanf(c[4].c_str(), "t%d-%d", &thread, &seq) == 2 && thread >= 0 && thread < kThreads &&
         c[4] == "t" + std::to_string(thread) + "-" + std::to_string(seq) &&
         (columns == 5 || c[5] == std::to_string(thread)) &&
         c[1] == std::to_string(tids[thread]) && c[2] == SourceFile(thread) &&
         c[3] == std::to_string(seq * step) && seq == next[thread];
    if (!ok) {
      ADD_FAILURE() << "bad or out-of-order line in " << path << ": " << line;
      if (++failures == 10) return;
      continue;
    }
    ++next[thread];
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], count) << "thread " << t << " in " << path;
}

TEST(ConcurrencyTest, EightThreadsWriteWholeLinesInOrder) {
  vqtest::UnsetEnv("LOGGING_DIR");
  vqtest::UnsetEnv("LOGGING_ENABLED_ASSERT");
  vqtest::UnsetEnv("LOGGING_ENABLED_RUNTIME");
  vqtest::ScratchDir dir;
  char flag = 0;
  ASSERT_TRUE(InitializeLogger(&flag, 0, dir.path().c_str()));

  std::vector<int> tids(kThreads, 0);
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &tids, &ready] {
      tids[t] = vqtest::CurrentTid();
      const std::string file = SourceFile(t);
      // Start together, so the writes really overlap.
      ready.fetch_add(1);
      while (ready.load() < kThreads) std::this_thread::yield();
      for (int seq = 0; seq < kRuntimeRecords; ++seq) {
        std::string message = "t" + std::to_string(t) + "-" + std::to_string(seq);
        if (seq % 2 == 0) {
          RuntimeInfoToLogfileA(file.c_str(), seq, message.c_str(), t);
        } else {
          std::basic_string<VqWideChar> wide(message.begin(), message.end());
          RuntimeInfoToLogfile(file.c_str(), seq, wide.c_str(), t);
        }
        if (seq % 4 == 0) {
          std::string expression = "t" + std::to_string(t) + "-" + std::to_string(seq / 4);
          AssertToLogfile(file.c_str(), seq, expression.c_str());
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  CheckLog(vqtest::RuntimeLogIn(dir.path()), vqtest::kRuntimeFirstLine, 6, tids, kRuntimeRecords,
           1);
  CheckLog(vqtest::AssertLogIn(dir.path()), vqtest::kAssertFirstLine, 5, tids,
           kRuntimeRecords / 4, 4);
}

}  // namespace
