// The logger base: the common record columns (BeginRecord), the line
// renderer (JoinFields), opening the log file, and the platform's LogFile.
#include "core/vq_logger.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "core/limits.h"
#include "core/loggers.h"
#include "support/test_support.h"

namespace vqlogger {
namespace {

namespace fs = std::filesystem;
using vqtest::ScratchDir;

// What the narrow byte E9 becomes in a line: é in code page 1252, an
// ill-formed byte (U+FFFD) in UTF-8.
#ifdef _WIN32
const std::string kE9Utf8 = "\xC3\xA9";
#else
const std::string kE9Utf8 = "\xEF\xBF\xBD";
#endif

std::vector<std::string> SplitTabs(const std::string& text) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t tab; (tab = text.find('\t', start)) != std::string::npos; start = tab + 1) {
    parts.push_back(text.substr(start, tab - start));
  }
  parts.push_back(text.substr(start));
  return parts;
}

// Seconds since the epoch of a local "Y-M-D h:m:s" given as numbers.
time_t LocalSeconds(int y, int mo, int d, int h, int mi, int s) {
  std::tm tm = {};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = s;
  tm.tm_isdst = -1;
  return mktime(&tm);
}

// ---------------------------------------------------------------------------
// BeginRecord

class BeginRecordTest : public ::testing::Test {
 protected:
  // Runs BeginRecord under the logger's lock, checks that the result is the
  // text's length and that the text lies within kLineCapacity.
  std::string Begin(const char* file, int line) {
    std::vector<char> buffer(kLineCapacity, 'Z');
    CritSecGuard guard(&logger_.logger_lock());
    before_ = vqtest::PreciseNow();
    unsigned n = logger_.BeginRecord(buffer.data(), file, line);
    after_ = vqtest::PreciseNow();
    EXPECT_EQ(n, strlen(buffer.data()));
    return std::string(buffer.data(), n);
  }

  // The time stamp must be well formed and name a second between the
  // readings taken around the call.
  void ExpectCurrentTimestamp(const std::string& stamp) {
    ASSERT_TRUE(vqtest::IsWellFormedTimestamp(stamp)) << stamp;
    int y, mo, d, h, mi, s, ms;
    ASSERT_EQ(sscanf(stamp.c_str(), "%d-%d-%d %d:%d:%d.%d", &y, &mo, &d, &h, &mi, &s, &ms), 7);
    EXPECT_LT(ms, 1000);
    time_t when = LocalSeconds(y, mo, d, h, mi, s);
    EXPECT_GE(when, before_) << stamp;
    EXPECT_LE(when, after_) << stamp;
  }

  RuntimeLogger logger_;
  time_t before_ = 0;
  time_t after_ = 0;
};

TEST_F(BeginRecordTest, FourCommonColumnsEachFollowedByATab) {
  VQTEST_REQUIRE_DEFAULT_NARROW_TEXT();
  const std::string name1000(1000, 'f');
  const std::string name1001(1001, 'f');
  struct Case {
    const char* file;
    int line;
    std::string file_field;
    std::string line_field;
  };
  const Case cases[] = {
      {"src/parser.src", 88, "src/parser.src", "88"},
      {"src\\parser.src", 0, "src\\parser.src", "0"},
      {nullptr, 7, "Null Pointer Error", "7"},
      {"", 1, "", "1"},
      {name1000.c_str(), 2, name1000, "2"},
      {name1001.c_str(), 3, "File Name and Directory too Long", "3"},
      {"a.c", -42, "a.c", "-42"},
      {"a.c", INT_MIN, "a.c", "-2147483648"},
      {"a.c", INT_MAX, "a.c", "2147483647"},
      {"caf\xE9.c", 5, "caf" + kE9Utf8 + ".c", "5"},
  };
  const std::string tid = std::to_string(vqtest::CurrentTid());
  for (const Case& c : cases) {
    std::string text = Begin(c.file, c.line);
    size_t tab = text.find('\t');
    ASSERT_NE(tab, std::string::npos) << text;
    const std::string stamp = text.substr(0, tab);
    ExpectCurrentTimestamp(stamp);
    EXPECT_EQ(text, stamp + "\t" + tid + "\t" + c.file_field + "\t" + c.line_field + "\t");
  }
}

TEST_F(BeginRecordTest, NullBufferReturnsZeroAndKeepsFields) {
  CritSecGuard guard(&logger_.logger_lock());
  FieldList& fields = logger_.field_list();
  const FieldList before = fields;
  EXPECT_EQ(logger_.BeginRecord(nullptr, "a.c", 1), 0u);
  ASSERT_EQ(fields.size(), before.size());
  for (size_t i = 0; i < fields.size(); ++i) EXPECT_EQ(fields[i], before[i]);
}

// A record begun on another thread carries that thread's id.
TEST_F(BeginRecordTest, ThreadIdIsTheCallers) {
  std::string text;
  int tid = 0;
  std::thread other([&] {
    text = Begin("t.c", 1);
    tid = vqtest::CurrentTid();
  });
  other.join();
  std::vector<std::string> parts = SplitTabs(text);
  ASSERT_EQ(parts.size(), 5u) << text;
  EXPECT_EQ(parts[1], std::to_string(tid));
  EXPECT_NE(parts[1], std::to_string(vqtest::CurrentTid()));
}

// ---------------------------------------------------------------------------
// JoinFields

// Joins `entries` after `existing` in a buffer of `capacity` bytes, under the
// logger's lock; returns the result and leaves the text in `text`.
unsigned Join(VqLogger& logger, const std::vector<const char*>& entries, const std::string& existing,
              bool line_end, std::string* text, unsigned capacity = kLineCapacity) {
  std::vector<char> buffer(capacity);  // exactly `capacity`: overruns show under ASan
  memcpy(buffer.data(), existing.c_str(), existing.size() + 1);
  CritSecGuard guard(&logger.logger_lock());
  FieldList& fields = logger.field_list();
  fields.clear();
  for (const char* entry : entries) fields.push_back(entry);
  unsigned n = logger.JoinFields(buffer.data(), capacity, line_end);
  // After a failure the buffer need not hold a terminated text.
  *text = std::string(buffer.data(), strnlen(buffer.data(), capacity));
  if (n != 0) {
    EXPECT_EQ(n, text->size());
  }
  return n;
}

TEST(JoinFieldsTest, HeaderLinesOfBothLoggers) {
  struct Case {
    VqLogger* logger;
    const char* header;
  };
  RuntimeLogger runtime;
  AssertLogger assertion;
  const Case cases[] = {
      {&runtime, "TIMESTAMP\tTHREAD_ID\tFILENAME\tLINE_NUMBER\tLOGGED_DATA\tLEVEL\r\n"},
      {&assertion, "TIMESTAMP\tTHREAD_ID\tFILENAME\tLINE_NUMBER\tEXPRESSION\r\n"},
  };
  for (const Case& c : cases) {
    char buffer[kLineCapacity] = "";
    CritSecGuard guard(&c.logger->logger_lock());
    unsigned n = c.logger->JoinFields(buffer, kLineCapacity, true);
    EXPECT_EQ(std::string(buffer), c.header);
    EXPECT_EQ(n, strlen(c.header));
  }
}

TEST(JoinFieldsTest, AppendsTabsOrLineEnd) {
  VQTEST_REQUIRE_DEFAULT_NARROW_TEXT();
  struct Case {
    std::vector<const char*> entries;
    std::string existing;
    bool line_end;
    std::string expected;
  };
  const Case cases[] = {
      {{"a", "bc"}, "", false, "a\tbc\t"},
      {{"a", "bc"}, "", true, "a\tbc\r\n"},
      {{"a", "", "c"}, "", true, "a\t\tc\r\n"},
      {{"a", ""}, "", true, "a\t\r\n"},
      {{"a", nullptr, "c"}, "", false, "a\tc\t"},  // a null entry adds nothing
      {{nullptr, "c"}, "", true, "c\r\n"},
      {{"x", "y"}, "p1\tp2\t", false, "p1\tp2\tx\ty\t"},
      {{"x", "y"}, "p1\tp2\t", true, "p1\tp2\tx\ty\r\n"},
      // Field texts are taken as they come: no escaping.
      {{"t\tab", "c\r\nr"}, "", true, "t\tab\tc\r\nr\r\n"},
      {{"\xE9"}, "p\t", true, "p\t" + kE9Utf8 + "\r\n"},
  };
  RuntimeLogger logger;
  for (const Case& c : cases) {
    std::string text;
    unsigned n = Join(logger, c.entries, c.existing, c.line_end, &text);
    EXPECT_EQ(text, c.expected);
    EXPECT_EQ(n, c.expected.size()) << c.expected;
  }
}

// Text already in the buffer is not converted again: converting it twice
// would turn the UTF-8 bytes C3 A9 (on Windows) or the raw byte E9 (on
// POSIX) into something else.
TEST(JoinFieldsTest, ConvertsOnlyTheAppendedText) {
  VQTEST_REQUIRE_DEFAULT_NARROW_TEXT();
  const std::string existing = "old\xC3\xA9|\xE9\t";
  RuntimeLogger logger;
  std::string text;
  unsigned n = Join(logger, {"new\xE9", "2"}, existing, true, &text);
  const std::string expected = existing + "new" + kE9Utf8 + "\t2\r\n";
  EXPECT_EQ(text, expected);
  EXPECT_EQ(n, expected.size());
}

// A line holds at most 5095 bytes: with its line end and, where the text
// grows in conversion, after conversion.
TEST(JoinFieldsTest, LineCapacityEdges) {
  VQTEST_REQUIRE_DEFAULT_NARROW_TEXT();
  struct Case {
    std::string existing;
    std::string field;
    bool line_end;
    std::string rendered;  // empty: the join returns 0
  };
  const std::string prefix = "p\t";
  const Case cases[] = {
      {"", std::string(5093, 'a'), true, std::string(5093, 'a') + "\r\n"},
      {"", std::string(5094, 'a'), true, ""},
      {"", std::string(5094, 'a'), false, std::string(5094, 'a') + "\t"},
      {"", std::string(5095, 'a'), false, ""},
      {prefix, std::string(5091, 'a'), true, prefix + std::string(5091, 'a') + "\r\n"},
      {prefix, std::string(5092, 'a'), true, ""},
      // E9 takes more bytes in UTF-8 (2 on Windows, 3 on POSIX).
      {"", std::string(5093 - kE9Utf8.size(), 'a') + "\xE9", true,
       std::string(5093 - kE9Utf8.size(), 'a') + kE9Utf8 + "\r\n"},
      {"", std::string(5094 - kE9Utf8.size(), 'a') + "\xE9", true, ""},
      {"", std::string(5095 - kE9Utf8.size(), 'a') + "\xE9", true, ""},
      {prefix, std::string(5091 - kE9Utf8.size(), 'a') + "\xE9", true,
       prefix + std::string(5091 - kE9Utf8.size(), 'a') + kE9Utf8 + "\r\n"},
      {prefix, std::string(5092 - kE9Utf8.size(), 'a') + "\xE9", true, ""},
  };
  RuntimeLogger logger;
  for (const Case& c : cases) {
    std::string text;
    unsigned n = Join(logger, {c.field.c_str()}, c.existing, c.line_end, &text);
    EXPECT_EQ(n, c.rendered.size()) << c.existing.size() << "+" << c.field.size();
    if (!c.rendered.empty()) {
      EXPECT_EQ(text, c.rendered);
    }
  }
}

TEST(JoinFieldsTest, SmallCapacityAndNullBuffer) {
  RuntimeLogger logger;
  std::string text;
  EXPECT_EQ(Join(logger, {"ab", "c"}, "", true, &text, 7), 6u);  // "ab\tc\r\n" + NUL
  EXPECT_EQ(text, "ab\tc\r\n");
  EXPECT_EQ(Join(logger, {"ab", "c"}, "", true, &text, 6), 0u);
  EXPECT_EQ(Join(logger, {"ab", "c"}, "", false, &text, 6), 5u);
  EXPECT_EQ(Join(logger, {"ab", "c"}, "", false, &text, 5), 0u);
  CritSecGuard guard(&logger.logger_lock());
  EXPECT_EQ(logger.JoinFields(nullptr, kLineCapacity, true), 0u);
}

// ---------------------------------------------------------------------------
// SetDirectory and OpenLogFile

TEST(LoggerDirectoryTest, SetDirectoryCopiesCutsAndIgnoresNull) {
  RuntimeLogger logger;
  EXPECT_STREQ(logger.directory_text(), "");
  EXPECT_STREQ(logger.file_suffix(), "_runtime.log");
  EXPECT_STREQ(AssertLogger().file_suffix(), "_assert.log");
  EXPECT_FALSE(logger.is_open());

  logger.SetDirectory("/var/log/app");
  EXPECT_STREQ(logger.directory_text(), "/var/log/app");
  logger.SetDirectory(nullptr);
  EXPECT_STREQ(logger.directory_text(), "/var/log/app");

  const std::string long_dir(300, 'd');
  logger.SetDirectory(long_dir.c_str());
  EXPECT_EQ(std::string(logger.directory_text()), long_dir.substr(0, 259));
  logger.SetDirectory("short");
  EXPECT_STREQ(logger.directory_text(), "short");
}

// Checks that `path` is named <exe base>_<pid>_<Y-M-D-h-m-s><suffix> with a
// local time between `before` and `after`.
void ExpectLogFileName(const std::string& path, const std::string& suffix, time_t before,
                       time_t after) {
  const std::string name = fs::path(path).filename().string();
  const std::string head = vqtest::ExeBaseName() + "_" + std::to_string(vqtest::CurrentPid()) + "_";
  ASSERT_EQ(name.compare(0, head.size(), head), 0) << name;
  ASSERT_GT(name.size(), head.size() + suffix.size()) << name;
  ASSERT_EQ(name.compare(name.size() - suffix.size(), suffix.size(), suffix), 0) << name;
  const std::string time_text =
      name.substr(head.size(), name.size() - head.size() - suffix.size());
  std::vector<int> numbers;
  size_t start = 0;
  for (;;) {
    size_t dash = time_text.find('-', start);
    std::string part = time_text.substr(start, dash - start);
    ASSERT_FALSE(part.empty()) << time_text;
    ASSERT_EQ(part.find_first_not_of("0123456789"), std::string::npos) << time_text;
    ASSERT_FALSE(part.size() > 1 && part[0] == '0') << time_text;
    numbers.push_back(std::stoi(part));
    if (dash == std::string::npos) break;
    start = dash + 1;
  }
  ASSERT_EQ(numbers.size(), 6u) << time_text;
  time_t when = LocalSeconds(numbers[0], numbers[1], numbers[2], numbers[3], numbers[4], numbers[5]);
  EXPECT_GE(when, before) << time_text;
  EXPECT_LE(when, after) << time_text;
}

std::vector<std::string> DirectoryEntries(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().string());
  return names;
}

TEST(OpenLogFileTest, CreatesTheFileWithItsFirstLine) {
  struct Case {
    const char* suffix;
    const char* first_line;
  };
  const Case cases[] = {
      {"_runtime.log", vqtest::kRuntimeFirstLine},
      {"_assert.log", vqtest::kAssertFirstLine},
  };
  for (const Case& c : cases) {
    ScratchDir scratch;
    RuntimeLogger runtime;
    AssertLogger assertion;
    VqLogger& logger = std::string(c.suffix) == "_runtime.log" ? static_cast<VqLogger&>(runtime)
                                                                : assertion;
    logger.SetDirectory(scratch.path().c_str());
    time_t before = vqtest::PreciseNow();
    ASSERT_TRUE(logger.OpenLogFile());
    time_t after = vqtest::PreciseNow();
    EXPECT_TRUE(logger.is_open());
    std::vector<std::string> entries = DirectoryEntries(scratch.path());
    ASSERT_EQ(entries.size(), 1u);
    ExpectLogFileName(entries[0], c.suffix, before, after);
    EXPECT_EQ(vqtest::ReadFileBytes(entries[0]), c.first_line);
  }
}

TEST(OpenLogFileTest, DirectoryWithTrailingSeparator) {
  ScratchDir scratch;
  RuntimeLogger logger;
  logger.SetDirectory((scratch.path() + vqtest::Separator()).c_str());
  ASSERT_TRUE(logger.OpenLogFile());
  const std::string file = vqtest::RuntimeLogIn(scratch.path());
  EXPECT_EQ(vqtest::ReadFileBytes(file), vqtest::kRuntimeFirstLine);
}

// A second call neither reopens, empties nor moves the file.
TEST(OpenLogFileTest, SecondCallLeavesTheOpenFileAlone) {
  ScratchDir scratch;
  ScratchDir other;
  RuntimeLogger logger;
  logger.SetDirectory(scratch.path().c_str());
  ASSERT_TRUE(logger.OpenLogFile());
  const std::string file = vqtest::RuntimeLogIn(scratch.path());
  {
    std::ofstream append(file, std::ios::binary | std::ios::app);
    append << "marker\r\n";
  }
  // A reopen would carry a new time in its name.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  logger.SetDirectory(other.path().c_str());
  EXPECT_TRUE(logger.OpenLogFile());
  EXPECT_TRUE(logger.is_open());
  EXPECT_EQ(DirectoryEntries(scratch.path()), std::vector<std::string>{file});
  EXPECT_TRUE(DirectoryEntries(other.path()).empty());
  EXPECT_EQ(vqtest::ReadFileBytes(file), std::string(vqtest::kRuntimeFirstLine) + "marker\r\n");
}

// A regular file where the directory should be makes the open fail; the
// failed attempt leaves nothing open, so a later one can succeed.
TEST(OpenLogFileTest, FailedOpenCanBeRetried) {
  ScratchDir scratch;
  const std::string not_a_dir = scratch.Join("plain_file");
  vqtest::WriteFileBytes(not_a_dir, "x");
  const std::string good = scratch.Join("logs");
  fs::create_directory(good);

  RuntimeLogger logger;
  logger.SetDirectory(not_a_dir.c_str());
  EXPECT_FALSE(logger.OpenLogFile());
  EXPECT_FALSE(logger.is_open());
  EXPECT_FALSE(logger.OpenLogFile());
  EXPECT_EQ(vqtest::ReadFileBytes(not_a_dir), "x");

  logger.SetDirectory(good.c_str());
  ASSERT_TRUE(logger.OpenLogFile());
  EXPECT_TRUE(logger.is_open());
  EXPECT_EQ(DirectoryEntries(good).size(), 1u);
  EXPECT_EQ(vqtest::ReadFileBytes(vqtest::RuntimeLogIn(good)), vqtest::kRuntimeFirstLine);
  EXPECT_EQ(DirectoryEntries(scratch.path()).size(), 2u);  // plain_file and logs only
}

// A directory standing at the exact file name also makes the open fail.
TEST(OpenLogFileTest, DirectoryAtTheFileNameFails) {
  ScratchDir scratch;
  // The name carries the current second: plant directories for this second
  // and the next two so one of them is hit.
  const std::string head = vqtest::ExeBaseName() + "_" + std::to_string(vqtest::CurrentPid()) + "_";
  time_t now = vqtest::PreciseNow();
  for (int i = 0; i < 3; ++i) {
    time_t t = now + i;
    std::tm tm = *localtime(&t);
    char time_text[64];
    snprintf(time_text, sizeof time_text, "%d-%d-%d-%d-%d-%d", tm.tm_year + 1900, tm.tm_mon + 1,
             tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    fs::create_directory(scratch.Join(head + time_text + "_runtime.log"));
  }
  RuntimeLogger logger;
  logger.SetDirectory(scratch.path().c_str());
  EXPECT_FALSE(logger.OpenLogFile());
  EXPECT_FALSE(logger.is_open());
}

// ---------------------------------------------------------------------------
// platform::LogFile

TEST(LogFileTest, OpenEmptiesAndWriteLineAppendsWholeLines) {
  ScratchDir scratch;
  const std::string path = scratch.Join("f.log");
  vqtest::WriteFileBytes(path, "old content that must go\r\n");

  platform::LogFile file;
  EXPECT_FALSE(file.is_open());
  ASSERT_TRUE(file.Open(path.c_str()));
  EXPECT_TRUE(file.is_open());
  EXPECT_EQ(file.size(), 0u);
  EXPECT_EQ(vqtest::ReadFileBytes(path), "");

  ASSERT_TRUE(file.WriteLine("first\r\n", 7));
  EXPECT_EQ(file.size(), 7u);
  ASSERT_TRUE(file.WriteLine("\xEF\xBB\xBFsecond\ttab\r\n", 15));
  EXPECT_EQ(file.size(), 22u);
  EXPECT_FALSE(file.failed());
  // Readable by others while it is held open.
  EXPECT_EQ(vqtest::ReadFileBytes(path), "first\r\n\xEF\xBB\xBFsecond\ttab\r\n");

  // Reopening the same file empties it again.
  ASSERT_TRUE(file.Open(path.c_str()));
  EXPECT_EQ(file.size(), 0u);
  ASSERT_TRUE(file.WriteLine("x\r\n", 3));
  file.Close();
  EXPECT_FALSE(file.is_open());
  EXPECT_EQ(vqtest::ReadFileBytes(path), "x\r\n");

  EXPECT_FALSE(file.WriteLine("y\r\n", 3));
  EXPECT_TRUE(file.failed());
  EXPECT_EQ(vqtest::ReadFileBytes(path), "x\r\n");
}

TEST(LogFileTest, OpenFailsOnADirectoryOrAMissingParent) {
  ScratchDir scratch;
  platform::LogFile file;
  EXPECT_FALSE(file.Open(scratch.path().c_str()));
  EXPECT_FALSE(file.is_open());
  EXPECT_FALSE(file.Open(scratch.Join("missing/f.log").c_str()));
  EXPECT_FALSE(file.is_open());
  // A failed open drops the file held before.
  ASSERT_TRUE(file.Open(scratch.Join("f.log").c_str()));
  EXPECT_FALSE(file.Open(scratch.path().c_str()));
  EXPECT_FALSE(file.is_open());
}

#ifndef _WIN32
// The log file is never opened through a symbolic link at its last
// component, so a planted link cannot redirect or empty another file.
TEST(LogFileTest, RefusesASymbolicLinkAtTheFileName) {
  ScratchDir scratch;
  const std::string target = scratch.Join("target.txt");
  const std::string link = scratch.Join("f.log");
  vqtest::WriteFileBytes(target, "precious\n");
  fs::create_symlink(target, link);

  platform::LogFile file;
  EXPECT_FALSE(file.Open(link.c_str()));
  EXPECT_FALSE(file.is_open());
  EXPECT_EQ(vqtest::ReadFileBytes(target), "precious\n");
}
#endif

}  // namespace
}  // namespace vqlogger
