// Cost of one record on every write path, on 1 and 2 threads. Every record
// is written and flushed to a real file before its call returns.
#include <benchmark/benchmark.h>

#include <cstdarg>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "vqlogger.h"

namespace {

char made_dir[] = "/tmp/vqbench_paths_XXXXXX";

void Initialize() {
  static bool done = [] {
    char* dir = mkdtemp(made_dir);
    if (dir == nullptr) return false;
    // The logs go when the run exits: a run writes tens of megabytes.
    atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(made_dir, ignored);
    });
    char flag = 0;
    return InitializeLogger(&flag, 1, dir);
  }();
  if (!done) abort();
}

std::string Text(size_t size, const char* unit) {
  std::string s;
  while (s.size() < size) s += unit;
  s.resize(size);
  return s;
}

void Formatted(const char* file, int line, int level, const VqWideChar* format, ...) {
  va_list args;
  va_start(args, format);
  RuntimeInfoToLogfileArglist(file, line, format, level, args);
  va_end(args);
}

#define VQ_WIDE(s) reinterpret_cast<const VqWideChar*>(u##s)

void BM_NarrowAscii(benchmark::State& state) {
  Initialize();
  std::string message = Text(static_cast<size_t>(state.range(0)), "request finished ok ");
  for (auto _ : state) RuntimeInfoToLogfileA("src/server/handler.cpp", 214, message.c_str(), 2);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NarrowAscii)->Arg(16)->Arg(100)->Arg(1000)->Threads(1)->Threads(2)->UseRealTime();

void BM_NarrowNonAscii(benchmark::State& state) {
  Initialize();
  std::string message = Text(100, "r\xC3\xA9sum\xC3\xA9 ");  // UTF-8 text
  for (auto _ : state) RuntimeInfoToLogfileA("src/server/handler.cpp", 214, message.c_str(), 2);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NarrowNonAscii)->Threads(1)->Threads(2)->UseRealTime();

void BM_Wide(benchmark::State& state) {
  Initialize();
  std::u16string message(100, u'w');
  for (auto _ : state) {
    RuntimeInfoToLogfile("src/server/handler.cpp", 214,
                         reinterpret_cast<const VqWideChar*>(message.c_str()), 2);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Wide)->Threads(1)->Threads(2)->UseRealTime();

void BM_Formatted(benchmark::State& state) {
  Initialize();
  for (auto _ : state) {
    Formatted("src/server/handler.cpp", 214, 2, VQ_WIDE("request %d finished: %s in %08x ticks"), 4711,
              u"ok", 0xBEEFu);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Formatted)->Threads(1)->Threads(2)->UseRealTime();

void BM_Binary(benchmark::State& state) {
  Initialize();
  unsigned char block[64];
  for (unsigned i = 0; i < sizeof block; ++i) block[i] = static_cast<unsigned char>(i * 37);
  for (auto _ : state) RuntimeInfoToLogfileBinary("src/server/handler.cpp", 214, block, sizeof block, 2);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Binary)->Threads(1)->Threads(2)->UseRealTime();

void BM_Assert(benchmark::State& state) {
  Initialize();
  for (auto _ : state) AssertToLogfile("src/server/handler.cpp", 214, "buffer != nullptr && size > 0");
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Assert)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
