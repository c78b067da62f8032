// Stress: writer threads call every export at once (both logs, narrow, wide,
// formatted and binary records, the level) while other threads call
// InitializeLogger again and again. Afterwards every line of both files must
// be whole and every record present exactly once.
//
//   vqlogger_stress [writers] [records-per-writer]     (defaults: 8, 4000)
// Prints the figures and exits non-zero on any lost, duplicated or broken
// record.
#include <atomic>
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

}  // namespace

int main(int argc, char** argv) {
  const int writers = argc > 1 ? atoi(argv[1]) : 8;
  const int records = argc > 2 ? atoi(argv[2]) : 4000;
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

  // Every record carries "w<writer>-<seq>"; five kinds take turns.
  std::vector<std::thread> pool;
  std::vector<int> thread_ids(static_cast<size_t>(writers));
  for (int w = 0; w < writers; ++w) {
    pool.emplace_back([&, w] {
      thread_ids[static_cast<size_t>(w)] = vqtest::CurrentTid();
      for (int seq = 0; seq < records; ++seq) {
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
        SetLoggingLevel(w);
        (void)GetLoggingLevel();
      }
    });
  }
  for (std::thread& t : pool) t.join();
  stop.store(true);
  for (std::thread& t : initializers) t.join();

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
  long lost = 0, duplicated = 0;
  for (int w = 0; w < writers; ++w) {
    for (int seq = 0; seq < records; ++seq) {
      auto it = seen.find("w" + std::to_string(w) + "-" + std::to_string(seq));
      if (it == seen.end()) ++lost;
      else if (it->second > 1) duplicated += it->second - 1;
    }
  }
  long unexpected = static_cast<long>(seen.size()) - (expected - lost);
  printf("writers %d, records %ld, reinitialisations %ld, lost %ld, duplicated %ld, unexpected %ld, broken lines %ld\n",
         writers, expected, reinitialisations.load(), lost, duplicated, unexpected, broken);
  return (lost == 0 && duplicated == 0 && unexpected == 0 && broken == 0) ? 0 : 1;
}
