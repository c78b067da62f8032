// Contention on one log from T threads, on Linux and on Windows: each thread
// writes N runtime records of 100 bytes, through vqlogger or through the
// plain design it must not be slower than (a line built by hand, then one
// write under one lock: std::mutex + write(2) on POSIX, EnterCriticalSection
// + WriteFile on Windows). Prints the wall time per record. Its use under
// wine is to count the system calls of each (strace -f -c), since wine's
// timings are not Windows timings.
//
//   vqlogger_contention vqlogger|plain THREADS RECORDS DIR
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "vqlogger.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

const char kMessage[] =
    "request 4711 finished: status=ok bytes=1832 peer=10.1.2.3 path=/api/v2/items request 4711 fin";

#ifdef _WIN32
class PlainLog {
 public:
  explicit PlainLog(const std::string& path) {
    file_ = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
    InitializeCriticalSectionAndSpinCount(&lock_, 1000);
  }
  bool ok() const { return file_ != INVALID_HANDLE_VALUE; }
  void Write(const char* line, size_t size) {
    EnterCriticalSection(&lock_);
    DWORD written = 0;
    WriteFile(file_, line, static_cast<DWORD>(size), &written, nullptr);
    LeaveCriticalSection(&lock_);
  }

 private:
  HANDLE file_;
  CRITICAL_SECTION lock_;
};
#else
class PlainLog {
 public:
  explicit PlainLog(const std::string& path)
      : fd_(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644)) {}
  bool ok() const { return fd_ >= 0; }
  void Write(const char* line, size_t size) {
    std::lock_guard<std::mutex> guard(lock_);
    ssize_t ignored = write(fd_, line, size);
    (void)ignored;
  }

 private:
  int fd_;
  std::mutex lock_;
};
#endif

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: vqlogger_contention vqlogger|plain THREADS RECORDS DIR\n");
    return 2;
  }
  const bool plain = strcmp(argv[1], "plain") == 0;
  const int threads = atoi(argv[2]);
  const long records = atol(argv[3]);
  const std::string dir = argv[4];
  if (threads < 1 || records < 1) return 2;
  PlainLog log(dir + "/plain.log");
  char flag = 0;
  if (plain ? !log.ok() : !InitializeLogger(&flag, 1, dir.c_str())) {
    fprintf(stderr, "cannot open a log in %s\n", dir.c_str());
    return 1;
  }
  std::atomic<bool> go{false};
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([&, t] {
      while (!go.load()) std::this_thread::yield();
      for (long i = 0; i < records / threads; ++i) {
        if (plain) {
          // The same columns as a runtime record, built as cheaply as can be.
          char line[256];
          int n = snprintf(line, sizeof line, "2026-12-9 12:0:0.0\t%d\tsrc/server/handler.cpp\t214\t%s\t2\r\n", t,
                           kMessage);
          log.Write(line, static_cast<size_t>(n));
        } else {
          RuntimeInfoToLogfileA("src/server/handler.cpp", 214, kMessage, 2);
        }
      }
    });
  }
  auto start = std::chrono::steady_clock::now();
  go.store(true);
  for (std::thread& t : pool) t.join();
  double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
  printf("%s %d threads: %.0f ns/record\n", argv[1], threads, ns / static_cast<double>(records));
  return 0;
}
