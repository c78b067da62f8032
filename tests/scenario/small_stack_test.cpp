// Every export on a thread with a 32 KB stack, as hosts that run many small
// threads have them: each call writes exactly its record. On POSIX each
// export's deepest stack use is measured too (the stack is painted before
// the call) and must leave most of the 32 KB to the host.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "vqlogger.h"

namespace {

#define WIDE(text) reinterpret_cast<const VqWideChar*>(u##text)

#if defined(__SANITIZE_ADDRESS__)
#define VQTEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VQTEST_SANITIZED 1
#endif
#endif

#ifdef VQTEST_SANITIZED
// Sanitizer builds pad every frame with red zones and run their own
// checking code on the same stack: four times the room, same calls.
constexpr size_t kStackBytes = 4 * 32 * 1024;
#else
constexpr size_t kStackBytes = 32 * 1024;
// What one export may take of the 32 KB, measured as the deepest byte
// touched minus what an empty thread touches.
constexpr long kBudgetPerExport = 14 * 1024;
#endif

void Formatted(const char* file, int line, const VqWideChar* format, int level, ...) {
  va_list args;
  va_start(args, level);
  RuntimeInfoToLogfileArglist(file, line, format, level, args);
  va_end(args);
}

// A narrow message of `bytes` bytes, non-ASCII and with a tab in it, so that
// every step of the record path (copy, clean-up, conversion) runs.
std::string MixedNarrow(size_t bytes) {
  std::string text = "tab\there ";
  while (text.size() + 2 <= bytes) text += "\xC3\xA9";
  while (text.size() < bytes) text += 'x';
  return text;
}

TEST(SmallStackTest, EveryExportWorksOnAThirtyTwoKilobyteStack) {
  VQTEST_REQUIRE_DEFAULT_NARROW_TEXT();
  vqtest::ClearLoggerVariables();
  vqtest::ScratchDir dir;
  const std::string path = dir.path();
  const bool utf8 = vqtest::AnsiCodePage() == 0;
  // Long enough to fill most of a record in every code page.
  // The narrow message, and the same text in UTF-8 as the file has it.
  const std::string narrow =
      utf8 ? MixedNarrow(3990) : std::string("tab\there ") + std::string(2000, '\xE9');
  std::string narrow_utf8 = narrow;
  if (!utf8) {
    narrow_utf8 = "tab\there ";
    for (int i = 0; i < 2000; ++i) narrow_utf8 += "\xC3\xA9";
  }
  std::u16string wide = u"wide \u00e9\u20ac ";  // then 1892 times U+00E9
  while (wide.size() < 1900) wide += u"\u00e9";
  const std::vector<unsigned char> block(1999, 0xAB);
  const std::vector<unsigned char> large_block(100000, 0xCD);
  const std::string name(900, 'n');
  char flag = 0;
  bool initialized = false;

  struct Call {
    const char* name;
    std::function<void()> run;
  };
  const Call calls[] = {
      {"InitializeLogger", [&] { initialized = InitializeLogger(&flag, 2, path.c_str()); }},
      {"RuntimeInfoToLogfileA", [&] { RuntimeInfoToLogfileA(name.c_str(), 1, narrow.c_str(), 1); }},
      {"RuntimeInfoToLogfile",
       [&] { RuntimeInfoToLogfile(name.c_str(), 2, reinterpret_cast<const VqWideChar*>(wide.c_str()), 1); }},
      {"RuntimeInfoToLogfileArglist",
       [&] {
         Formatted(name.c_str(), 3, WIDE("%s|%5d|%S"), 1,
                   reinterpret_cast<const VqWideChar*>(wide.c_str()), 42, "narrow");
       }},
      {"RuntimeInfoToLogfileBinary",
       [&] { RuntimeInfoToLogfileBinary(name.c_str(), 4, block.data(), 1999, 1); }},
      {"RuntimeInfoToLogfileBinary (large block)",
       [&] { RuntimeInfoToLogfileBinary(name.c_str(), 5, large_block.data(), 100000, 1); }},
      {"AssertToLogfile", [&] { AssertToLogfile(name.c_str(), 6, narrow.c_str()); }},
      {"SetLoggingLevel", [&] { SetLoggingLevel(5); }},
      {"GetLoggingLevel", [&] { flag = static_cast<char>(GetLoggingLevel()); }},
  };

  const long baseline = vqtest::RunOnSmallStack(kStackBytes, [] {});
  ASSERT_GE(baseline, 0);
  for (const Call& call : calls) {
    long peak = vqtest::RunOnSmallStack(kStackBytes, call.run);
    ASSERT_GE(peak, 0) << call.name;
#ifdef _WIN32
    (void)peak;
#else
    printf("stack: %-42s %6ld bytes (empty thread %ld)\n", call.name, peak - baseline, baseline);
#ifndef VQTEST_SANITIZED
    EXPECT_LE(peak - baseline, kBudgetPerExport) << call.name;
#endif
#endif
  }
  ASSERT_TRUE(initialized);
  EXPECT_EQ(flag, 5);

  // The exact lines, in order: nothing lost or cut on the small stack.
  std::string hex;
  for (int i = 0; i < 1999; ++i) hex += "AB";
  std::string runtime_text = narrow_utf8;
  runtime_text[3] = ' ';  // the tab, replaced in runtime messages only
  std::string wide_utf8 = "wide \xC3\xA9\xE2\x82\xAC ";
  for (int i = 0; i < 1892; ++i) wide_utf8 += "\xC3\xA9";
  const std::string prefix = "<TS>\t<TID>\t" + name + "\t";
  EXPECT_EQ(vqtest::MaskThreadIds(vqtest::ReadFileBytes(vqtest::RuntimeLogIn(path))),
            vqtest::kRuntimeFirstLine +
                prefix + "1\t" + runtime_text + "\t1\r\n" +
                prefix + "2\t" + wide_utf8 + "\t1\r\n" +
                prefix + "3\t" + wide_utf8 + "|   42|narrow\t1\r\n" +
                prefix + "4\t" + hex + "\t1\r\n" +
                prefix + "5\tLog Message too Long\t1\r\n");
  EXPECT_EQ(vqtest::MaskThreadIds(vqtest::ReadFileBytes(vqtest::AssertLogIn(path))),
            vqtest::kAssertFirstLine + prefix + "6\t" + narrow_utf8 + "\r\n");
}

}  // namespace
