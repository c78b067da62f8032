// Stress: writer threads call every export at once (both logs, narrow, wide,
// formatted and binary records, the level) while other threads call
// InitializeLogger again and again. Afterwards every line of both files must
// be whole and every record present exactly once.
//
//   vqlogger_stress [writers] [records-per-writer] [--full-disk]
//                                                      (defaults: 8, 4000)
// Prints the figures and exits non-zero on any lost, duplicated or broken
// record. With --full-disk (POSIX), a further thread makes the disk full
// again and again (a file-size limit at the files' current size) while the
// writers run: a record may then be missing only if its call overlapped a
// full period, and every line must still be whole.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"
#include "vqlogger.h"

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#endif

namespace {

void Formatted(const char* file, int line, int level, const VqWideChar* format, ...) {
  va_list args;
  va_start(args, format);
  RuntimeInfoToLogfileArglist(file, line, format, level, args);
  va_end(args);
}

std::u16string Widen(const std::string& s) { return std::u16string(s.begin(), s.end()); }

std::vector<std::string> Split(const std::string& line, char sep) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t at = line.find(sep, start);
    parts.push_back(line.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) return parts;
    start = at + 1;
  }
}

// Even while the disk has room, odd while it is full; bumped by the thread
// that fills and frees it.
std::atomic<unsigned> disk_epoch{0};

#ifndef _WIN32
long long FileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
}

// Fills the disk (no file may grow past the larger file's size now) for a
// few milliseconds, frees it for a few more, until `stop`.
void FillAndFreeDisk(const std::string& dir, const std::atomic<bool>& stop) {
  signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails with EFBIG
  struct rlimit saved;
  getrlimit(RLIMIT_FSIZE, &saved);
  std::vector<std::string> files = vqtest::FindLogFiles(dir, "_runtime.log");
  std::vector<std::string> asserts = vqtest::FindLogFiles(dir, "_assert.log");
  files.insert(files.end(), asserts.begin(), asserts.end());
  while (!stop.load()) {
    long long largest = 0;
    for (const std::string& f : files) largest = std::max(largest, FileSize(f));
    struct rlimit full = saved;
    full.rlim_cur = static_cast<rlim_t>(largest);
    disk_epoch.fetch_add(1);  // full from here on
    setrlimit(RLIMIT_FSIZE, &full);
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    setrlimit(RLIMIT_FSIZE, &saved);
    disk_epoch.fetch_add(1);  // room again
    std::this_thread::sleep_for(std::chrono::milliseconds(7));
  }
}
#endif

}  // namespace

int main(int argc, char** argv) {
  const int writers = argc > 1 ? atoi(argv[1]) : 8;
  const int records = argc > 2 ? atoi(argv[2]) : 4000;
  const bool full_disk = argc > 3 && strcmp(argv[3], "--full-disk") == 0;
#ifdef _WIN32
  if (full_disk) {
    printf("full disk: needs a file-size limit, which this platform lacks\n");
    return 0;
  }
#endif
  vqtest::ScratchDir dir;
  char flag = 0;
  if (!InitializeLogger(&flag, 1, dir.path().c_str())) {
    fprintf(stderr, "InitializeLogger failed\n");
    return 1;
  }

  std::atomic<bool> stop{false};
  std::atomic<long> reinitialisations{0};
  std::vector<std::thread> initializers;
  for (int i = 0; i < 2; ++i) {
    initializers.emplace_back([&, i] {
      while (!stop.load()) {
        char f = 0;
        // Alternate the arguments so every branch of a later call runs,
        // including a new directory that must not move the files.
        InitializeLogger(&f, i == 0 ? 0 : -1, i == 0 ? nullptr : dir.Join("later").c_str());
        reinitialisations.fetch_add(1);
        std::this_thread::yield();
      }
    });
  }

  std::thread disk;
#ifndef _WIN32
  std::atomic<bool> disk_stop{false};
  if (full_disk) disk = std::thread([&] { FillAndFreeDisk(dir.path(), disk_stop); });
#endif

  // Every record carries "w<writer>-<seq>"; five kinds take turns. A record
  // "may be lost" when its call saw the disk full at its start or end, or
  // the disk changed state during it.
  std::vector<std::thread> pool;
  std::vector<int> thread_ids(static_cast<size_t>(writers));
  std::vector<std::vector<char>> may_be_lost(static_cast<size_t>(writers),
                                             std::vector<char>(static_cast<size_t>(records), 0));
  for (int w = 0; w < writers; ++w) {
    pool.emplace_back([&, w] {
      thread_ids[static_cast<size_t>(w)] = vqtest::CurrentTid();
      for (int seq = 0; seq < records; ++seq) {
        unsigned epoch_before = disk_epoch.load();
        std::string tag = "w" + std::to_string(w) + "-" + std::to_string(seq);
        switch (seq % 5) {
          case 0: RuntimeInfoToLogfileA("stress.cpp", seq, tag.c_str(), w); break;
          case 1: {
            std::u16string wide = Widen(tag);
            RuntimeInfoToLogfile("stress.cpp", seq, reinterpret_cast<const VqWideChar*>(wide.c_str()), w);
            break;
          }
          case 2: Formatted("stress.cpp", seq, w, reinterpret_cast<const VqWideChar*>(u"w%d-%d"), w, seq); break;
          case 3: RuntimeInfoToLogfileBinary("stress.cpp", seq, tag.data(), static_cast<unsigned>(tag.size()), w); break;
          case 4: AssertToLogfile("stress.cpp", seq, tag.c_str()); break;
        }
        unsigned epoch_after = disk_epoch.load();
        may_be_lost[static_cast<size_t>(w)][static_cast<size_t>(seq)] =
            epoch_before != epoch_after || (epoch_before & 1) != 0;
        SetLoggingLevel(w);
        (void)GetLoggingLevel();
      }
    });
  }
  for (std::thread& t : pool) t.join();
  stop.store(true);
  for (std::thread& t : initializers) t.join();
#ifndef _WIN32
  disk_stop.store(true);
#endif
  if (disk.joinable()) disk.join();

  // Read back: every line whole, every record once, from the right thread.
  std::map<std::string, int> seen;
  long broken = 0;
  auto check_file = [&](const std::string& path, const char* first_line, size_t columns, size_t data_column) {
    std::string content = vqtest::ReadFileBytes(path);
    if (content.compare(0, strlen(first_line), first_line) != 0) ++broken;
    std::vector<std::string> lines = vqtest::SplitLines(content.substr(strlen(first_line)));
    for (const std::string& line : lines) {
      if (line.size() < 2 || line.compare(line.size() - 2, 2, "\r\n") != 0) { ++broken; continue; }
      std::vector<std::string> cols = Split(line.substr(0, line.size() - 2), '\t');
      if (cols.size() != columns || !vqtest::IsWellFormedTimestamp(cols[0])) { ++broken; continue; }
      std::string data = cols[data_column];
      if (data.size() % 2 == 0 && data.find_first_not_of("0123456789ABCDEF") == std::string::npos) {
        std::string decoded;
        for (size_t i = 0; i < data.size(); i += 2) decoded += static_cast<char>(std::stoi(data.substr(i, 2), nullptr, 16));
        data = decoded;
      }
      ++seen[data];
      // The thread column names the writer.
      int w = atoi(data.c_str() + 1);
      if (w < 0 || w >= writers || cols[1] != std::to_string(thread_ids[static_cast<size_t>(w)])) ++broken;
    }
  };
  std::vector<std::string> runtime_files = vqtest::FindLogFiles(dir.path(), "_runtime.log");
  std::vector<std::string> assert_files = vqtest::FindLogFiles(dir.path(), "_assert.log");
  if (runtime_files.size() != 1 || assert_files.size() != 1) {
    fprintf(stderr, "expected one pair of files, found %zu runtime and %zu assert\n", runtime_files.size(),
            assert_files.size());
    return 1;
  }
  check_file(runtime_files[0], vqtest::kRuntimeFirstLine, 6, 4);
  check_file(assert_files[0], vqtest::kAssertFirstLine, 5, 4);

  long expected = static_cast<long>(writers) * records;
  long lost = 0, lost_to_full_disk = 0, duplicated = 0;
  for (int w = 0; w < writers; ++w) {
    for (int seq = 0; seq < records; ++seq) {
      auto it = seen.find("w" + std::to_string(w) + "-" + std::to_string(seq));
      if (it == seen.end()) {
        if (may_be_lost[static_cast<size_t>(w)][static_cast<size_t>(seq)]) {
          ++lost_to_full_disk;
        } else {
          ++lost;
        }
      } else if (it->second > 1) {
        duplicated += it->second - 1;
      }
    }
  }
  long unexpected = static_cast<long>(seen.size()) - (expected - lost - lost_to_full_disk);
  printf("writers %d, records %ld, reinitialisations %ld, full-disk periods %u, lost %ld, "
         "lost to the full disk %ld, duplicated %ld, unexpected %ld, broken lines %ld\n",
         writers, expected, reinitialisations.load(), disk_epoch.load() / 2, lost, lost_to_full_disk,
         duplicated, unexpected, broken);
  return (lost == 0 && duplicated == 0 && unexpected == 0 && broken == 0) ? 0 : 1;
}
