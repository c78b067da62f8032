// Where the two log files go, what they are called, what they hold right
// after InitializeLogger, and that later calls never reopen or move them.
// Every test case runs in a process of its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "support/test_support.h"
#include "vqlogger.h"

namespace fs = std::filesystem;

namespace vqtest {
namespace {

// Names a parameterised case after its row.
template <typename Row>
std::string RowName(const ::testing::TestParamInfo<Row>& row) {
  return row.param.name;
}

// No library variable is defined, and the temporary directory the library
// falls back to is a scratch directory of the test's own.
class LogFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearLoggerVariables();
    UseAsTempDirectory(tmp_.path());
  }

  // "@" stands for the scratch directory, "/" for the separator; a final
  // "*" is replaced by nested directories that bring the path to `length`
  // bytes.   "@/a/b" => "<scratch>/a/b"
  std::string Expand(const std::string& text, size_t length = 0) const {
    if (text.empty()) return text;
    std::string path = text == "@" ? dir_.path() : dir_.Join(text.substr(2));
    if (path.back() != '*') return path;
    path.pop_back();
    while (path.size() < length) {
      size_t left = length - path.size();
      if (left == 1) {
        path += 'd';
      } else {
        path += Separator();
        path += std::string(std::min<size_t>(left - 1, 40), 'd');
      }
    }
    return path;
  }

  void ExpectNoLogsIn(const std::string& dir) {
    EXPECT_TRUE(FindLogFiles(dir, "_runtime.log").empty()) << dir;
    EXPECT_TRUE(FindLogFiles(dir, "_assert.log").empty()) << dir;
  }

  ScratchDir tmp_;
  ScratchDir dir_;
};

// --- Choice of directory ----------------------------------------------------------

struct DirectoryCase {
  const char* name;
  const char* env_dir;   // LOGGING_DIR, null: undefined
  const char* argument;  // logDirectory, null: none
  const char* expected;  // where both files go; null: the temporary directory
  const char* created;   // a directory that must exist afterwards
  const char* absent;    // a path that must not exist afterwards
  size_t length;         // length of a path ending in "*"
};
void PrintTo(const DirectoryCase& row, std::ostream* os) { *os << row.name; }

class DirectoryChoiceTest : public LogFilesTest,
                            public ::testing::WithParamInterface<DirectoryCase> {};

TEST_P(DirectoryChoiceTest, BothFilesGoToTheChosenDirectory) {
  const DirectoryCase& c = GetParam();
  WriteFileBytes(dir_.Join("file"), "x");  // a regular file where a directory is wanted
  std::string argument = c.argument ? Expand(c.argument, c.length) : std::string();
  if (c.env_dir != nullptr) SetEnv("LOGGING_DIR", Expand(c.env_dir, c.length).c_str());

  char flag = 0;
  ASSERT_TRUE(InitializeLogger(&flag, 0, c.argument ? argument.c_str() : nullptr));
  const std::string where = c.expected ? Expand(c.expected, c.length) : tmp_.path();
  EXPECT_EQ(ReadFileBytes(RuntimeLogIn(where)), kRuntimeFirstLine);
  EXPECT_EQ(ReadFileBytes(AssertLogIn(where)), kAssertFirstLine);
  for (const std::string& other : {dir_.path(), tmp_.path()}) {
    if (other != where) ExpectNoLogsIn(other);
  }
  if (c.created != nullptr) {
    EXPECT_TRUE(fs::is_directory(Expand(c.created))) << c.created;
  }
  if (c.absent != nullptr) {
    EXPECT_FALSE(PathExists(Expand(c.absent))) << c.absent;
  }
  EXPECT_EQ(ReadFileBytes(dir_.Join("file")), "x");
}

const DirectoryCase kDirectoryCases[] = {
    {"Argument", nullptr, "@", "@", nullptr, nullptr, 0},
    {"MissingParentsAreCreated", nullptr, "@/a/b/c", "@/a/b/c", nullptr, nullptr, 0},
    {"VariableWinsOverArgument", "@/env", "@/arg", "@/env", nullptr, "@/arg", 0},
    {"VariableWithoutArgument", "@/env/sub", nullptr, "@/env/sub", nullptr, nullptr, 0},
    {"VariableUnderRegularFile", "@/file/sub", "@", nullptr, nullptr, nullptr, 0},
    {"EmptyVariable", "", "@", nullptr, nullptr, nullptr, 0},
    {"ArgumentIsRegularFileParent", nullptr, "@/file/sub", nullptr, nullptr, nullptr, 0},
    // The directory is created, but this run still falls back.
    {"ArgumentWithTrailingSeparator", nullptr, "@/t/u/", nullptr, "@/t/u", nullptr, 0},
    {"VariableWithTrailingSeparator", "@/t/u/", "@", nullptr, "@/t/u", nullptr, 0},
    {"NoDirectory", nullptr, nullptr, nullptr, nullptr, nullptr, 0},
#ifndef _WIN32
    // Windows creates no directory this long (248 characters at most).
    {"LongestArgumentIsUsed", nullptr, "@/L*", "@/L*", nullptr, nullptr, 259},
#endif
    {"ArgumentOneByteTooLong", nullptr, "@/L*", nullptr, nullptr, "@/L", 260},
    {"VeryLongArgument", nullptr, "@/L*", nullptr, nullptr, "@/L", 300},
    {"VeryLongVariable", "@/L*", "@", nullptr, nullptr, "@/L", 300},
};

INSTANTIATE_TEST_SUITE_P(Rows, DirectoryChoiceTest, ::testing::ValuesIn(kDirectoryCases),
                         RowName<DirectoryCase>);

// --- Names and first lines ----------------------------------------------------------

// The time in a log file name of this process, "<base>_<pid>_<Y-M-D-h-m-s><suffix>"
// with numbers without leading zeros, as mktime gives it; -1 for any other name.
std::time_t NameTime(const std::string& path, const std::string& suffix) {
  const std::string name = fs::path(path).filename().string();
  const std::string prefix = ExeBaseName() + "_" + std::to_string(CurrentPid()) + "_";
  if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
      name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
    return -1;
  }
  const std::string text = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
  int fields[6];
  size_t pos = 0;
  for (int i = 0; i < 6; ++i) {
    size_t start = pos;
    while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos]))) ++pos;
    size_t digits = pos - start;
    if (digits == 0 || digits > 4 || (digits > 1 && text[start] == '0')) return -1;
    fields[i] = std::stoi(text.substr(start, digits));
    if (i < 5 && (pos >= text.size() || text[pos++] != '-')) return -1;
  }
  if (pos != text.size()) return -1;
  std::tm tm = {};
  tm.tm_year = fields[0] - 1900;
  tm.tm_mon = fields[1] - 1;
  tm.tm_mday = fields[2];
  tm.tm_hour = fields[3];
  tm.tm_min = fields[4];
  tm.tm_sec = fields[5];
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

TEST_F(LogFilesTest, FreshFilesAreNamedForNowAndHoldOnlyTheirFirstLine) {
  const std::time_t before = vqtest::PreciseNow();
  char flag = 0;
  ASSERT_TRUE(InitializeLogger(&flag, 0, dir_.path().c_str()));
  const std::time_t after = vqtest::PreciseNow();

  std::vector<std::string> entries;
  for (const auto& entry : fs::directory_iterator(dir_.path())) entries.push_back(entry.path().string());
  ASSERT_EQ(entries.size(), 2u);
  const std::string runtime = RuntimeLogIn(dir_.path());
  const std::string assert_log = AssertLogIn(dir_.path());
  EXPECT_EQ(ReadFileBytes(runtime), kRuntimeFirstLine);
  EXPECT_EQ(ReadFileBytes(assert_log), kAssertFirstLine);
  for (const auto& [path, suffix] : {std::make_pair(runtime, "_runtime.log"),
                                     std::make_pair(assert_log, "_assert.log")}) {
    std::time_t t = NameTime(path, suffix);
    EXPECT_GE(t, before) << path;
    EXPECT_LE(t, after) << path;
  }
  ExpectNoLogsIn(tmp_.path());
}

// --- Later calls ---------------------------------------------------------------------

struct LaterCall {
  const char* env_dir;   // LOGGING_DIR for this call, null: undefined
  int level;
  const char* argument;  // logDirectory, null: none
  const char* created;   // a directory this call creates
  const char* absent;    // a path this call leaves alone
};

TEST_F(LogFilesTest, LaterCallsNeverReopenOrMoveTheFiles) {
  const std::string first = dir_.Join("first");
  char flag = 0;
  ASSERT_TRUE(InitializeLogger(&flag, 1, first.c_str()));
  const std::string runtime = RuntimeLogIn(first);
  const std::string assert_log = AssertLogIn(first);
  RuntimeInfoToLogfileA("r.src", 1, "one", 1);
  AssertToLogfile("a.src", 2, "one");
  const std::string runtime_content = ReadFileBytes(runtime);
  const std::string assert_content = ReadFileBytes(assert_log);

  const LaterCall calls[] = {
      {nullptr, 0, nullptr, nullptr, nullptr},
      {nullptr, 5, "@/second/new", "@/second/new", nullptr},
      {nullptr, -1, "@/third", "@/third", nullptr},
      // With a null directory the call ends before LOGGING_DIR is read.
      {"@/fourth", 2, nullptr, nullptr, "@/fourth"},
      {"@/fourth", 2, "@/fifth", "@/fourth", "@/fifth"},
      {"", 0, "@/sixth", nullptr, "@/sixth"},
  };
  for (const LaterCall& c : calls) {
    SCOPED_TRACE(std::string(c.argument ? c.argument : "null") + " " + (c.env_dir ? c.env_dir : "-"));
    if (c.env_dir != nullptr) {
      SetEnv("LOGGING_DIR", Expand(c.env_dir).c_str());
    } else {
      UnsetEnv("LOGGING_DIR");
    }
    const std::string argument = c.argument ? Expand(c.argument) : std::string();
    EXPECT_TRUE(InitializeLogger(&flag, c.level, c.argument ? argument.c_str() : nullptr));
    if (c.created != nullptr) {
      EXPECT_TRUE(fs::is_directory(Expand(c.created)));
      EXPECT_TRUE(fs::is_empty(Expand(c.created)));
    }
    if (c.absent != nullptr) {
      EXPECT_FALSE(PathExists(Expand(c.absent)));
    }
    EXPECT_EQ(ReadFileBytes(runtime), runtime_content);
    EXPECT_EQ(ReadFileBytes(assert_log), assert_content);
  }
  ExpectNoLogsIn(tmp_.path());
  EXPECT_EQ(FindLogFiles(first, "_runtime.log"), std::vector<std::string>{runtime});
  EXPECT_EQ(FindLogFiles(first, "_assert.log"), std::vector<std::string>{assert_log});

  RuntimeInfoToLogfileA("r.src", 3, "two", 2);
  AssertToLogfile("a.src", 4, "two");
  EXPECT_EQ(NormalizedRecords(runtime, kRuntimeFirstLine),
            "<TS>\t<TID>\tr.src\t1\tone\t1\r\n<TS>\t<TID>\tr.src\t3\ttwo\t2\r\n");
  EXPECT_EQ(NormalizedRecords(assert_log, kAssertFirstLine),
            "<TS>\t<TID>\ta.src\t2\tone\r\n<TS>\t<TID>\ta.src\t4\ttwo\r\n");
}

// --- Symbolic links --------------------------------------------------------------------

#ifndef _WIN32
struct LinkCase {
  const char* name;
  const char* suffix;  // the file whose every possible name is a link
  bool dangling;       // the link's target does not exist
};
void PrintTo(const LinkCase& row, std::ostream* os) { *os << row.name; }

class SymbolicLinkTest : public LogFilesTest, public ::testing::WithParamInterface<LinkCase> {};

// A link planted under the predictable name is never followed: the open
// fails instead of writing to (or creating) the link's target.
TEST_P(SymbolicLinkTest, LinkAtLogFileNameIsNotFollowed) {
  const LinkCase& c = GetParam();
  const std::string target = dir_.Join("target");
  if (!c.dangling) WriteFileBytes(target, "keep");
  const std::vector<std::string> links = PredictedLogPaths(dir_.path(), c.suffix, 4);
  for (const std::string& link : links) ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0) << link;

  char flag = 0;
  EXPECT_FALSE(InitializeLogger(&flag, 0, dir_.path().c_str()));
  if (c.dangling) {
    EXPECT_FALSE(PathExists(target));
  } else {
    EXPECT_EQ(ReadFileBytes(target), "keep");
  }
  for (const std::string& link : links) EXPECT_TRUE(fs::is_symlink(link)) << link;
  if (std::string(c.suffix) == "_assert.log") {
    EXPECT_EQ(ReadFileBytes(RuntimeLogIn(dir_.path())), kRuntimeFirstLine);
  } else {
    EXPECT_TRUE(FindLogFiles(dir_.path(), "_assert.log").empty());
  }
  ExpectNoLogsIn(tmp_.path());
}

const LinkCase kLinkCases[] = {
    {"RuntimeLinkToFile", "_runtime.log", false},
    {"RuntimeDanglingLink", "_runtime.log", true},
    {"AssertLinkToFile", "_assert.log", false},
};

INSTANTIATE_TEST_SUITE_P(Rows, SymbolicLinkTest, ::testing::ValuesIn(kLinkCases),
                         RowName<LinkCase>);
#endif

}  // namespace
}  // namespace vqtest
