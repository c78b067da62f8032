// The write mode's choice when the file is slow: T threads log through the
// exports while the OS write is replaced by one that first burns COST ns
// (spinning, spinning with sched_yield so other threads run, or sleeping).
// Prints the time per record, the writes and lines, and one mark per 2,048
// lines (a stretch of the chooser): '.' every write one line (under the
// lock, or batches of one), otherwise the mean lines per write ('+' above 9).
// With lock|batched the mode is pinned, for the figures to compare against.
// Several thread counts (8,2,8) run one after another on the same logger.
//
//   vqlogger_slow_write COST_NS spin|yield|sleep RECORDS THREADS[,THREADS..] DIR [lock|batched]
#include <sched.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/group_commit.h"
#include "core/loggers.h"
#include "platform/platform.h"
#include "vqlogger.h"

namespace {

int64_t cost_ns = 0;
char how = 's';  // 's'pin, 'y'ield, 'z' sleep
std::vector<uint32_t> lines_of_write;  // sized before the runs
std::atomic<size_t> writes{0};

long SlowWrite(intptr_t handle, const char* data, size_t size) {
  uint32_t lines = 0;
  for (size_t i = 0; i + 1 < size; ++i) lines += data[i] == '\r' && data[i + 1] == '\n';
  size_t at = writes.fetch_add(1, std::memory_order_relaxed);
  if (at < lines_of_write.size()) lines_of_write[at] = lines;
  if (how == 'z') {
    timespec pause{0, static_cast<long>(cost_ns)};
    nanosleep(&pause, nullptr);
  } else {
    const int64_t end = vqlogger::platform::MonotonicNanoseconds() + cost_ns;
    while (vqlogger::platform::MonotonicNanoseconds() < end) {
      if (how == 'y') sched_yield();
    }
  }
  return vqlogger::platform::SystemWrite(handle, data, size);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) {
    fprintf(stderr, "usage: vqlogger_slow_write COST_NS spin|yield|sleep RECORDS THREADS[,..] DIR [lock|batched]\n");
    return 2;
  }
  cost_ns = atol(argv[1]);
  how = strcmp(argv[2], "yield") == 0 ? 'y' : strcmp(argv[2], "sleep") == 0 ? 'z' : 's';
  const long records = atol(argv[3]);
  std::vector<int> phases;
  for (char* p = argv[4]; *p != '\0';) {
    phases.push_back(static_cast<int>(strtol(p, &p, 10)));
    if (*p == ',') ++p;
  }
  char flag = 0;
  if (records < 1 || phases.empty() || !InitializeLogger(&flag, 1, argv[5])) {
    fprintf(stderr, "bad arguments, or no log in %s\n", argv[5]);
    return 1;
  }
  if (argc > 6) vqlogger::runtimeLogger.load()->PinWriteMode(strcmp(argv[6], "lock") == 0);
  lines_of_write.assign(static_cast<size_t>(records) * phases.size() + 16, 0);
  vqlogger::platform::ReplaceWriteFunction(&SlowWrite);
  for (int threads : phases) {
    if (threads < 1) return 2;
    const size_t first = writes.load();
    std::atomic<bool> go{false};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
      pool.emplace_back([&] {
        while (!go.load()) std::this_thread::yield();
        for (long i = 0; i < records / threads; ++i) {
          RuntimeInfoToLogfileA("src/server/handler.cpp", 214,
                                "request 4711 finished: status=ok bytes=1832 peer=10.1.2.3 path=/api/v2/items", 2);
        }
      });
    }
    const auto start = std::chrono::steady_clock::now();
    go.store(true);
    for (std::thread& t : pool) t.join();
    const double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
    const size_t last = writes.load() < lines_of_write.size() ? writes.load() : lines_of_write.size();
    std::string marks;
    size_t lines = 0, stretch_lines = 0, stretch_writes = 0;
    for (size_t i = first; i < last; ++i) {
      lines += lines_of_write[i];
      stretch_lines += lines_of_write[i];
      ++stretch_writes;
      if (stretch_lines >= vqlogger::CommitQueue::kSampleLines) {
        const double mean = static_cast<double>(stretch_lines) / static_cast<double>(stretch_writes);
        marks += mean < 1.05 ? '.' : mean >= 9.5 ? '+' : static_cast<char>('0' + static_cast<int>(mean + 0.5));
        stretch_lines = stretch_writes = 0;
      }
    }
    printf("%d threads, %ld ns %s: %.0f ns/record, %zu writes, %zu lines  %s\n", threads,
           static_cast<long>(cost_ns), argv[2], ns / static_cast<double>(lines), last - first, lines,
           marks.c_str());
  }
  return 0;
}
