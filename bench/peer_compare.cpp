// Peer comparison: the same runtime records written, in interleaved rounds,
// through vqlogger, through a flush-per-record spdlog file logger, and
// through "the floor": the same columns built by a minimal hand-written
// formatter into a stack buffer and one write(2) under a plain mutex.
//
// Prints ns/record (median over rounds), the ratio to the floor in the same
// round (median of the per-round ratios), heap allocations per record
// (counted by an interposed allocator inside the loop), and system calls per
// record (counted by a ptrace-ing parent between two marker calls).
//
//   peer_compare [--rounds R] [--records N] [--dir DIR]
//   peer_compare --scaling [--rounds R] [--records N]   (1, 2, 4, 8 threads)
//   peer_compare --one SINK SIZE N [THREADS]   (write N records; for callgrind
//                                               and strace -f -c)
//   peer_compare --round-trip   (ns for a word to go to another thread and back)
#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include "vqlogger.h"

// ---------------------------------------------------------------------------
// Allocation counting: the executable's malloc family wins over libc's for
// every library in the process. A sanitizer build keeps the sanitizer's own
// allocator (which this would replace) and counts nothing.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
#define VQ_COUNT_ALLOCATIONS 0
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
#define VQ_COUNT_ALLOCATIONS 0
#endif
#endif
#ifndef VQ_COUNT_ALLOCATIONS
#define VQ_COUNT_ALLOCATIONS 1
#endif

namespace {
std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};
}  // namespace

#if VQ_COUNT_ALLOCATIONS
extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);
extern "C" void* __libc_memalign(size_t, size_t);
extern "C" void __libc_free(void*);

namespace {
inline void CountAllocation() {
  if (g_counting.load(std::memory_order_relaxed)) g_allocations.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

extern "C" void* malloc(size_t n) { CountAllocation(); return __libc_malloc(n); }
extern "C" void* calloc(size_t a, size_t b) { CountAllocation(); return __libc_calloc(a, b); }
extern "C" void* realloc(void* p, size_t n) { CountAllocation(); return __libc_realloc(p, n); }
extern "C" void* memalign(size_t a, size_t n) { CountAllocation(); return __libc_memalign(a, n); }
extern "C" int posix_memalign(void** p, size_t a, size_t n) {
  CountAllocation();
  *p = __libc_memalign(a, n);
  return *p != nullptr ? 0 : ENOMEM;
}
extern "C" void* aligned_alloc(size_t a, size_t n) { CountAllocation(); return __libc_memalign(a, n); }
extern "C" void free(void* p) { __libc_free(p); }
#endif

namespace {

// ---------------------------------------------------------------------------
// The ways of writing a record. Every thread of a round writes through the
// same sink, so Write changes no state of the sink's own: whatever a sink
// derives from the message is made by Prepare, before the threads start.
class Sink {
 public:
  virtual ~Sink() = default;
  virtual const char* name() const = 0;
  // Called with the round's message, single-threaded, before any Write.
  virtual void Prepare(const std::string& /*message*/) {}
  virtual void Write(const char* file, int line, const char* message, int level) = 0;
};

class VqSink final : public Sink {
 public:
  const char* name() const override { return "vqlogger"; }
  void Write(const char* file, int line, const char* message, int level) override {
    RuntimeInfoToLogfileA(file, line, message, level);
  }
};

// The other vqlogger write paths, each given a message that makes the same
// LOGGED_DATA bytes as the narrow one, so they compare with the same floor.
// The wide sinks write the wide copy Prepare made of the message.
class VqWideSink final : public Sink {
 public:
  const char* name() const override { return "vq-wide"; }
  void Prepare(const std::string& message) override { wide_.assign(message.begin(), message.end()); }
  void Write(const char* file, int line, const char*, int level) override {
    RuntimeInfoToLogfile(file, line, reinterpret_cast<const VqWideChar*>(wide_.c_str()), level);
  }

 private:
  std::u16string wide_;
};

class VqBinarySink final : public Sink {
 public:
  const char* name() const override { return "vq-hex"; }
  void Write(const char* file, int line, const char* message, int level) override {
    // Half as many bytes as the message has characters: the hex text is as
    // long as the message.
    RuntimeInfoToLogfileBinary(file, line, message, static_cast<unsigned>(strlen(message) / 2), level);
  }
};

void CallArglist(const char* file, int line, int level, const VqWideChar* format, ...) {
  va_list args;
  va_start(args, format);
  RuntimeInfoToLogfileArglist(file, line, format, level, args);
  va_end(args);
}

class VqFormattedSink final : public Sink {
 public:
  const char* name() const override { return "vq-fmt"; }
  // Three conversions: "%s" with most of the message, "%d", "%08x".
  void Prepare(const std::string& message) override {
    size_t keep = message.size() > 14 ? message.size() - 14 : 0;
    wide_.assign(message.begin(), message.begin() + static_cast<std::ptrdiff_t>(keep));
  }
  void Write(const char* file, int line, const char*, int level) override {
    CallArglist(file, line, level, reinterpret_cast<const VqWideChar*>(u"%s %5d %08x"), wide_.c_str(), 4711,
                0xBEEFu);
  }

 private:
  std::u16string wide_;
};

class SpdlogSink final : public Sink {
 public:
  explicit SpdlogSink(const std::string& path) {
    logger_ = spdlog::basic_logger_mt("peer", path, /*truncate=*/true);
    logger_->set_pattern("%Y-%m-%d %H:%M:%S.%e\t%t\t%s\t%#\t%v\t%l");
    logger_->set_level(spdlog::level::trace);
    logger_->flush_on(spdlog::level::trace);
  }
  const char* name() const override { return "spdlog"; }
  void Write(const char* file, int line, const char* message, int) override {
    logger_->log(spdlog::source_loc{file, line, ""}, spdlog::level::info, message);
  }

 private:
  std::shared_ptr<spdlog::logger> logger_;
};

// The floor: what one flushed record cannot cost less than.
class FloorSink final : public Sink {
 public:
  explicit FloorSink(const std::string& path) {
    fd_ = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
  }
  ~FloorSink() override { close(fd_); }
  const char* name() const override { return "floor"; }

  void Write(const char* file, int line, const char* message, int level) override {
    static thread_local int tid = static_cast<int>(syscall(SYS_gettid));
    std::lock_guard<std::mutex> guard(mutex_);
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    if (ts.tv_sec != cached_second_) {
      struct tm tm;
      localtime_r(&ts.tv_sec, &tm);
      cached_length_ = static_cast<size_t>(snprintf(cached_, sizeof cached_, "%d-%d-%d %d:%d:%d.",
                                                    tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                                                    tm.tm_hour, tm.tm_min, tm.tm_sec));
      cached_second_ = ts.tv_sec;
    }
    char buffer[5096];
    char* p = buffer;
    memcpy(p, cached_, cached_length_);
    p += cached_length_;
    p = Number(p, static_cast<int>(ts.tv_nsec / 1000000));
    *p++ = '\t';
    p = Number(p, tid);
    *p++ = '\t';
    size_t n = strlen(file);
    memcpy(p, file, n);
    p += n;
    *p++ = '\t';
    p = Number(p, line);
    *p++ = '\t';
    n = strlen(message);
    if (n > 4000) n = 4000;
    memcpy(p, message, n);
    p += n;
    *p++ = '\t';
    p = Number(p, level);
    *p++ = '\r';
    *p++ = '\n';
    ssize_t ignored = write(fd_, buffer, static_cast<size_t>(p - buffer));
    (void)ignored;
  }

 private:
  static char* Number(char* p, int v) {
    char tmp[12];
    int n = 0;
    unsigned u = v < 0 ? 0u - static_cast<unsigned>(v) : static_cast<unsigned>(v);
    do { tmp[n++] = static_cast<char>('0' + u % 10); u /= 10; } while (u != 0);
    if (v < 0) *p++ = '-';
    while (n > 0) *p++ = tmp[--n];
    return p;
  }

  int fd_;
  std::mutex mutex_;
  time_t cached_second_ = -1;
  char cached_[32];
  size_t cached_length_ = 0;
};

std::string Message(size_t size) {
  static const char kText[] = "request 4711 finished: status=ok bytes=1832 peer=10.1.2.3 path=/api/v2/items ";
  std::string s;
  while (s.size() < size) s += kText;
  s.resize(size);
  return s;
}

// Writes `records` records through `sink` from `threads` threads; returns
// the wall time in nanoseconds.
double RunTimed(Sink& sink, const std::string& message, long records, int threads) {
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  auto work = [&](long count) {
    ready.fetch_add(1);
    while (!go.load()) {
    }
    for (long i = 0; i < count; ++i) sink.Write("src/server/handler.cpp", 214, message.c_str(), 2);
  };
  std::vector<std::thread> pool;
  for (int t = 1; t < threads; ++t) pool.emplace_back(work, records / threads);
  while (ready.load() != threads - 1) {
  }
  auto start = std::chrono::steady_clock::now();
  go.store(true);
  ready.fetch_add(1);
  for (long i = 0; i < records / threads; ++i) sink.Write("src/server/handler.cpp", 214, message.c_str(), 2);
  for (std::thread& t : pool) t.join();
  auto end = std::chrono::steady_clock::now();
  return std::chrono::duration<double, std::nano>(end - start).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// ---------------------------------------------------------------------------
// System-call counting. The child runs each sink's loop between two
// getppid() markers; the parent, tracing it, counts the system calls that
// enter between them.
long MarkerSyscall() { return syscall(SYS_getppid); }

std::vector<long> CountSyscalls(const std::function<void()>& child_work, int segments) {
  fflush(stdout);  // else the child's exit would print the buffered lines again
  pid_t pid = fork();
  if (pid == 0) {
    ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
    raise(SIGSTOP);
    child_work();
    _exit(0);
  }
  std::vector<long> counts;
  int status;
  waitpid(pid, &status, 0);
  ptrace(PTRACE_SETOPTIONS, pid, nullptr, reinterpret_cast<void*>(PTRACE_O_TRACESYSGOOD));
  bool entering = true;
  bool inside = false;
  long count = 0;
  for (;;) {
    ptrace(PTRACE_SYSCALL, pid, nullptr, nullptr);
    if (waitpid(pid, &status, 0) < 0 || WIFEXITED(status) || WIFSIGNALED(status)) break;
    if (!(WIFSTOPPED(status) && WSTOPSIG(status) == (SIGTRAP | 0x80))) continue;
    if (entering) {
      struct user_regs_struct regs;
      ptrace(PTRACE_GETREGS, pid, nullptr, &regs);
      if (static_cast<long>(regs.orig_rax) == SYS_getppid) {
        if (inside) counts.push_back(count);
        inside = !inside;
        count = 0;
      } else if (inside) {
        ++count;
      }
    }
    entering = !entering;
  }
  counts.resize(static_cast<size_t>(segments), -1);
  return counts;
}

struct Options {
  int rounds = 9;
  long records = 40000;
  std::string dir;
};

// A directory this run made under /tmp, removed with what is in it when the
// run ends: a scaling run writes gigabytes, and runs in a loop would fill the
// disk.
std::string made_directory;

std::string MakeDirectory(const char* prefix) {
  std::string tmpl = std::string("/tmp/") + prefix + "XXXXXX";
  const char* made = mkdtemp(&tmpl[0]);
  if (made == nullptr) return "/tmp";
  made_directory = made;
  return made_directory;
}

void RemoveMadeDirectory() {
  if (made_directory.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(made_directory, ignored);
}

// The directory for the runs' files: --dir (kept), else a fresh one under
// /tmp (removed at the end).
std::string OutputDirectory(const Options& options) {
  if (!options.dir.empty()) return options.dir;
  return MakeDirectory("vqbench_");
}

int RunComparison(const Options& options) {
  std::string dir = OutputDirectory(options);
  char flag = 0;
  std::string vq_dir = dir + "/vq";
  if (!InitializeLogger(&flag, 1, vq_dir.c_str())) {
    fprintf(stderr, "InitializeLogger failed\n");
    return 1;
  }
  VqSink vq;
  VqWideSink vq_wide;
  VqBinarySink vq_hex;
  VqFormattedSink vq_fmt;
  SpdlogSink spd(dir + "/spdlog.log");
  FloorSink floor_sink(dir + "/floor.log");
  std::vector<Sink*> sinks = {&floor_sink, &vq, &spd, &vq_wide, &vq_hex, &vq_fmt};

  printf("records per round: %ld, rounds: %d, files in %s\n", options.records, options.rounds, dir.c_str());
  printf("%-8s %5s %3s %12s %8s %12s %12s\n", "logger", "bytes", "thr", "ns/record", "x floor",
         "allocs/rec", "syscalls/rec");

  for (int threads : {1, 2}) {
    for (size_t size : {16, 100, 1000}) {
      std::string message = Message(size);
      for (Sink* sink : sinks) sink->Prepare(message);
      // Warm up every sink (time caches, thread ids, first-use setup).
      for (Sink* sink : sinks) RunTimed(*sink, message, 2000, threads);

      std::vector<std::vector<double>> ns(sinks.size()), ratio(sinks.size());
      for (int round = 0; round < options.rounds; ++round) {
        std::vector<double> this_round(sinks.size());
        for (size_t s = 0; s < sinks.size(); ++s) {
          this_round[s] = RunTimed(*sinks[s], message, options.records, threads) / options.records;
          ns[s].push_back(this_round[s]);
        }
        for (size_t s = 0; s < sinks.size(); ++s) ratio[s].push_back(this_round[s] / this_round[0]);
      }

      std::vector<double> allocations(sinks.size());
      const long kCounted = 1000;
      for (size_t s = 0; s < sinks.size(); ++s) {
        g_allocations.store(0);
        g_counting.store(true);
        RunTimed(*sinks[s], message, kCounted, 1);
        g_counting.store(false);
        allocations[s] = static_cast<double>(g_allocations.load()) / kCounted;
      }

      std::vector<long> syscalls = CountSyscalls(
          [&] {
            for (Sink* sink : sinks) {
              MarkerSyscall();
              for (long i = 0; i < kCounted; ++i) sink->Write("src/server/handler.cpp", 214, message.c_str(), 2);
              MarkerSyscall();
            }
          },
          static_cast<int>(sinks.size()));

      for (size_t s = 0; s < sinks.size(); ++s) {
        char allocs[32] = "n/a";
        if (VQ_COUNT_ALLOCATIONS) snprintf(allocs, sizeof allocs, "%.2f", allocations[s]);
        printf("%-8s %5zu %3d %12.0f %8.3f %12s %12.2f\n", sinks[s]->name(), size, threads, Median(ns[s]),
               Median(ratio[s]), allocs, static_cast<double>(syscalls[s]) / kCounted);
      }
    }
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Scaling with threads: floor, vqlogger and spdlog at 1, 2, 4 and 8 threads.
// Every ratio is taken against the one-thread floor of the same round.
// CPU is the process's user plus system time over the run, per record.
// Latency rounds, apart from the timed ones, time every call.

double ProcessCpuNanoseconds() {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  auto ns = [](const struct timeval& tv) {
    return static_cast<double>(tv.tv_sec) * 1e9 + static_cast<double>(tv.tv_usec) * 1e3;
  };
  return ns(usage.ru_utime) + ns(usage.ru_stime);
}

// Times a thread gave up its processor to wait (a sleep on a lock or word).
double ProcessSleeps() {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_nvcsw);
}

struct ThreadRun {
  double wall_ns = 0;
  double cpu_ns = 0;
  double sleeps = 0;
  // Until the first thread is done, every thread is logging. The scheduler
  // does not share two processors fairly among 4 or 8 threads, so some finish
  // well before the others, and the last stretch of a run has fewer threads
  // than it says (at the end, often one). This is the wall time until then
  // over the records all threads had written by then.
  double all_running_ns_per_record = 0;
  std::vector<double> latencies;  // filled only when timing every call
};

// Records written so far by one thread, on a cache line of its own.
struct alignas(64) Progress {
  std::atomic<long> done{0};
};

ThreadRun RunThreads(Sink& sink, const std::string& message, long records, int threads,
                     bool time_calls) {
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::vector<std::vector<double>> latencies(static_cast<size_t>(threads));
  std::vector<Progress> progress(static_cast<size_t>(threads));
  std::atomic<bool> one_done{false};
  std::chrono::steady_clock::time_point first_done;
  long done_by_then = 0;
  auto work = [&](int index) {
    long count = records / threads;
    std::vector<double>& mine = latencies[static_cast<size_t>(index)];
    if (time_calls) mine.reserve(static_cast<size_t>(count));
    ready.fetch_add(1);
    while (!go.load()) {
    }
    for (long i = 0; i < count; ++i) {
      if (time_calls) {
        auto before = std::chrono::steady_clock::now();
        sink.Write("src/server/handler.cpp", 214, message.c_str(), 2);
        auto after = std::chrono::steady_clock::now();
        mine.push_back(std::chrono::duration<double, std::nano>(after - before).count());
      } else {
        sink.Write("src/server/handler.cpp", 214, message.c_str(), 2);
      }
      progress[static_cast<size_t>(index)].done.store(i + 1, std::memory_order_relaxed);
    }
    if (!one_done.exchange(true)) {
      first_done = std::chrono::steady_clock::now();
      for (const Progress& p : progress) done_by_then += p.done.load(std::memory_order_relaxed);
    }
  };
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) pool.emplace_back(work, t);
  while (ready.load() != threads) {
  }
  ThreadRun run;
  double cpu_before = ProcessCpuNanoseconds();
  double sleeps_before = ProcessSleeps();
  auto start = std::chrono::steady_clock::now();
  go.store(true);
  for (std::thread& t : pool) t.join();
  auto end = std::chrono::steady_clock::now();
  run.cpu_ns = ProcessCpuNanoseconds() - cpu_before;
  run.sleeps = ProcessSleeps() - sleeps_before;
  run.wall_ns = std::chrono::duration<double, std::nano>(end - start).count();
  // No record written before the first thread was done (fewer records than
  // threads): the whole run's figure.
  run.all_running_ns_per_record =
      done_by_then > 0
          ? std::chrono::duration<double, std::nano>(first_done - start).count() / static_cast<double>(done_by_then)
          : run.wall_ns / static_cast<double>(records);
  for (std::vector<double>& v : latencies) run.latencies.insert(run.latencies.end(), v.begin(), v.end());
  return run;
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t at = static_cast<size_t>(p * static_cast<double>(v.size() - 1));
  return v[at];
}

// The time for one word to go from one thread to another and back, with
// both spinning: how dear every hand-over between callers is on this
// machine (it differs from one run of a virtual machine to the next).
double CoreRoundTripNanoseconds() {
  constexpr int kTrips = 200000;
  alignas(64) std::atomic<int> ball{0};
  std::thread other([&] {
    for (int i = 0; i < kTrips; ++i) {
      while (ball.load(std::memory_order_acquire) != 1) {
      }
      ball.store(0, std::memory_order_release);
    }
  });
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kTrips; ++i) {
    ball.store(1, std::memory_order_release);
    while (ball.load(std::memory_order_acquire) != 0) {
    }
  }
  auto end = std::chrono::steady_clock::now();
  other.join();
  return std::chrono::duration<double, std::nano>(end - start).count() / kTrips;
}

// Opens vqlogger's logs in DIR/vq; says so and returns false if it cannot.
bool InitializeVqlogger(const std::string& dir) {
  char flag = 0;
  if (InitializeLogger(&flag, 1, (dir + "/vq").c_str())) return true;
  fprintf(stderr, "InitializeLogger failed\n");
  return false;
}

// What a page costs that a caller touches again after each write: 150-byte
// writes to a file, each followed by one read from each of K pages. Where
// the kernel flushes the TLB on every system call, each page costs a walk.
void PrintPageCost() {
  const size_t kPages = 32;
  const size_t kStride = 8 * 4096;  // apart, so no two share a page-table line
  void* mapped = mmap(nullptr, kPages * kStride, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) {
    fprintf(stderr, "page cost: no memory\n");
    return;
  }
  char* pages = static_cast<char*>(mapped);
  char tmpl[] = "/tmp/vqbench_pages_XXXXXX";
  int fd = mkstemp(tmpl);
  if (fd < 0) {
    fprintf(stderr, "page cost: no file\n");
    munmap(mapped, kPages * kStride);
    return;
  }
  unlink(tmpl);
  for (size_t p = 0; p < kPages; ++p) pages[p * kStride] = 1;
  char line[150] = {};
  for (size_t touched : {0, 8, 32}) {
    double best = 1e18;
    for (int round = 0; round < 5; ++round) {
      if (ftruncate(fd, 0) != 0) {
        fprintf(stderr, "page cost: cannot empty the file\n");
        break;
      }
      volatile char sum = 0;
      auto start = std::chrono::steady_clock::now();
      for (int n = 0; n < 20000; ++n) {
        if (pwrite(fd, line, sizeof line, n * static_cast<off_t>(sizeof line)) < 0) break;
        for (size_t p = 0; p < touched; ++p) sum = static_cast<char>(sum + pages[p * kStride + 64 * (p % 8)]);
      }
      auto end = std::chrono::steady_clock::now();
      best = std::min(best, std::chrono::duration<double, std::nano>(end - start).count() / 20000);
    }
    if (best < 1e18) printf("write, then %2zu pages touched: %.0f ns\n", touched, best);
  }
  close(fd);
  munmap(mapped, kPages * kStride);
}

int RunScaling(const Options& options) {
  std::string dir = OutputDirectory(options);
  if (!InitializeVqlogger(dir)) return 1;
  VqSink vq;
  SpdlogSink spd(dir + "/spdlog.log");
  FloorSink floor_sink(dir + "/floor.log");
  std::vector<Sink*> sinks = {&floor_sink, &vq, &spd};
  const std::vector<int> thread_counts = {1, 2, 4, 8};
  const size_t size = 100;
  std::string message = Message(size);
  for (Sink* sink : sinks) sink->Prepare(message);
  const double round_trip_before = CoreRoundTripNanoseconds();
  for (Sink* sink : sinks) {
    for (int threads : thread_counts) RunThreads(*sink, message, 4000, threads, false);
  }

  // [sink][thread count] -> per-round figures.
  size_t nt = thread_counts.size();
  std::vector<std::vector<std::vector<double>>> ns(sinks.size(), std::vector<std::vector<double>>(nt));
  auto ratio = ns, same = ns, cpu = ns, sleeps = ns, all_running = ns;
  for (int round = 0; round < options.rounds; ++round) {
    double floor_one = RunThreads(floor_sink, message, options.records, 1, false).wall_ns / options.records;
    for (size_t t = 0; t < nt; ++t) {
      double floor_here = 0;  // sinks[0] is the floor: it runs first
      for (size_t s = 0; s < sinks.size(); ++s) {
        ThreadRun run = RunThreads(*sinks[s], message, options.records, thread_counts[t], false);
        double per_record = run.wall_ns / options.records;
        if (s == 0) floor_here = per_record;
        ns[s][t].push_back(per_record);
        ratio[s][t].push_back(per_record / floor_one);
        same[s][t].push_back(per_record / floor_here);
        cpu[s][t].push_back(run.cpu_ns / options.records);
        sleeps[s][t].push_back(run.sleeps / options.records);
        all_running[s][t].push_back(run.all_running_ns_per_record);
      }
    }
  }
  std::vector<std::vector<double>> p99(sinks.size(), std::vector<double>(nt));
  for (size_t t = 0; t < nt; ++t) {
    for (size_t s = 0; s < sinks.size(); ++s) {
      p99[s][t] = Percentile(RunThreads(*sinks[s], message, options.records, thread_counts[t], true).latencies, 0.99);
    }
  }

  printf("scaling: %zu-byte messages, %ld records per run, %d rounds (medians), files in %s\n", size,
         options.records, options.rounds, dir.c_str());
  printf("thread-to-thread round trip: %.0f ns before the runs, %.0f ns after\n", round_trip_before,
         CoreRoundTripNanoseconds());
  printf("%-8s %3s %10s %14s %12s %12s %12s %10s %11s %12s\n", "logger", "thr", "ns/record", "x floor(1 thr)",
         "x floor(same)", "cpu ns/rec", "x own cpu(1)", "p99 ns", "sleeps/rec", "all-running");
  for (size_t s = 0; s < sinks.size(); ++s) {
    double own_cpu_one = Median(cpu[s][0]);
    for (size_t t = 0; t < nt; ++t) {
      printf("%-8s %3d %10.0f %14.3f %12.3f %12.0f %12.2f %10.0f %11.3f %12.0f\n", sinks[s]->name(),
             thread_counts[t], Median(ns[s][t]), Median(ratio[s][t]), Median(same[s][t]), Median(cpu[s][t]),
             Median(cpu[s][t]) / own_cpu_one,
             p99[s][t], Median(sleeps[s][t]), Median(all_running[s][t]));
    }
  }
  return 0;
}

// One thread only: the floor and vqlogger alternate in many short runs, so
// that a machine whose speed drifts from one second to the next moves both
// alike. Each run is on a thread of its own, as in the scaling runs. Prints
// the quartiles of the per-pair ratio.
int RunSingle(const Options& options) {
  std::string dir = OutputDirectory(options);
  if (!InitializeVqlogger(dir)) return 1;
  VqSink vq;
  FloorSink floor_sink(dir + "/floor.log");
  std::string message = Message(100);
  for (int i = 0; i < 3; ++i) {
    RunThreads(floor_sink, message, options.records, 1, false);
    RunThreads(vq, message, options.records, 1, false);
  }
  std::vector<double> floor_ns, vq_ns, ratios;
  for (int round = 0; round < options.rounds; ++round) {
    // Half the rounds start with the floor, half with vqlogger.
    double f = 0, v = 0;
    if (round % 2 == 0) {
      f = RunThreads(floor_sink, message, options.records, 1, false).wall_ns;
      v = RunThreads(vq, message, options.records, 1, false).wall_ns;
    } else {
      v = RunThreads(vq, message, options.records, 1, false).wall_ns;
      f = RunThreads(floor_sink, message, options.records, 1, false).wall_ns;
    }
    floor_ns.push_back(f / options.records);
    vq_ns.push_back(v / options.records);
    ratios.push_back(v / f);
  }
  std::sort(ratios.begin(), ratios.end());
  auto quartile = [&](size_t q) { return ratios[(ratios.size() - 1) * q / 4]; };
  printf("single: 100-byte messages, %ld records per run, %d rounds, files in %s\n", options.records,
         options.rounds, dir.c_str());
  printf("floor %.0f ns/record, vqlogger %.0f ns/record (medians)\n", Median(floor_ns), Median(vq_ns));
  printf("vqlogger / floor: median %.3f, quartiles %.3f and %.3f\n", quartile(2), quartile(1), quartile(3));
  return 0;
}

// Writes N records through one sink: for instruction counts under callgrind.
int RunOne(const std::string& sink_name, size_t size, long records, int threads) {
  std::string dir = MakeDirectory("vqbench_one_");
  std::unique_ptr<Sink> sink;
  if (sink_name == "vqlogger") {
    char flag = 0;
    if (!InitializeLogger(&flag, 1, dir.c_str())) return 1;
    sink.reset(new VqSink);
  } else if (sink_name == "vq-wide" || sink_name == "vq-hex" || sink_name == "vq-fmt") {
    char flag = 0;
    if (!InitializeLogger(&flag, 1, dir.c_str())) return 1;
    if (sink_name == "vq-wide") sink.reset(new VqWideSink);
    if (sink_name == "vq-hex") sink.reset(new VqBinarySink);
    if (sink_name == "vq-fmt") sink.reset(new VqFormattedSink);
  } else if (sink_name == "spdlog") {
    sink.reset(new SpdlogSink(dir + "/spdlog.log"));
  } else if (sink_name == "floor") {
    sink.reset(new FloorSink(dir + "/floor.log"));
  } else {
    fprintf(stderr, "unknown sink %s\n", sink_name.c_str());
    return 2;
  }
  std::string message = Message(size);
  sink->Prepare(message);
  if (threads > 1) {
    RunThreads(*sink, message, records, threads, false);
    return 0;
  }
  for (long i = 0; i < records; ++i) sink->Write("src/server/handler.cpp", 214, message.c_str(), 2);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  atexit(RemoveMadeDirectory);
  Options options;
  bool scaling = false;
  bool single = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--one" && i + 3 < argc) {
      int threads = i + 4 < argc ? atoi(argv[i + 4]) : 1;
      return RunOne(argv[i + 1], static_cast<size_t>(atol(argv[i + 2])), atol(argv[i + 3]),
                    threads < 1 ? 1 : threads);
    } else if (arg == "--page-cost") {
      PrintPageCost();
      return 0;
    } else if (arg == "--round-trip") {
      printf("%.0f\n", CoreRoundTripNanoseconds());
      return 0;
    } else if (arg == "--scaling") {
      scaling = true;
    } else if (arg == "--single") {
      single = true;
    } else if (arg == "--rounds" && i + 1 < argc) {
      options.rounds = std::max(1, atoi(argv[++i]));
    } else if (arg == "--records" && i + 1 < argc) {
      options.records = std::max(8L, atol(argv[++i]));  // at least one per thread
    } else if (arg == "--dir" && i + 1 < argc) {
      options.dir = argv[++i];
    } else {
      fprintf(stderr, "usage: %s [--scaling | --single] [--rounds R] [--records N] [--dir DIR] | --one SINK SIZE N [THREADS] | --round-trip | --page-cost\n", argv[0]);
      return 2;
    }
  }
  if (single) return RunSingle(options);
  return scaling ? RunScaling(options) : RunComparison(options);
}
