// InitializeLogger through the exports: the runtime level and the assertion
// flag from the arguments and the environment on first and later calls, a
// null flag pointer, and recovery from log files that could not be opened.
// Every test case runs in a process of its own, so each starts with a
// freshly loaded library.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#endif

#include "support/test_support.h"
#include "vqlogger.h"

namespace fs = std::filesystem;

namespace vqtest {
namespace {

// Defines `name` as `value`, or removes it for a null value.
void SetOrUnset(const char* name, const char* value) {
  if (value != nullptr) {
    SetEnv(name, value);
  } else {
    UnsetEnv(name);
  }
}

std::vector<std::string> EntriesIn(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().string());
  std::sort(names.begin(), names.end());
  return names;
}

#ifndef _WIN32
// How many of this process's descriptors point at one of `paths`.
int DescriptorsOpenTo(const std::vector<std::string>& paths) {
  std::vector<std::string> targets;
  for (const std::string& path : paths) targets.push_back(fs::canonical(path).string());
  int count = 0;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    fs::path target = fs::read_symlink(entry.path(), ec);
    if (!ec && std::find(targets.begin(), targets.end(), target.string()) != targets.end()) ++count;
  }
  return count;
}
#endif

// Names a parameterised case after its row.
template <typename Row>
std::string RowName(const ::testing::TestParamInfo<Row>& row) {
  return row.param.name;
}

// No library variable is defined, and the temporary directory the library
// falls back to is a scratch directory of the test's own.
class InitializeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearLoggerVariables();
    UseAsTempDirectory(tmp_.path());
  }

  ScratchDir tmp_;
  ScratchDir dir_;
};

// --- First call ---------------------------------------------------------------

struct FirstCall {
  const char* name;
  const char* runtime_env;  // LOGGING_ENABLED_RUNTIME, null: undefined
  const char* assert_env;   // LOGGING_ENABLED_ASSERT, null: undefined
  int level_argument;
  int level;  // GetLoggingLevel() afterwards
  char flag;  // *enableAssert afterwards
};
void PrintTo(const FirstCall& row, std::ostream* os) { *os << row.name; }

class FirstCallTest : public InitializeTest, public ::testing::WithParamInterface<FirstCall> {};

TEST_P(FirstCallTest, SetsLevelAndFlagAndCreatesBothFiles) {
  const FirstCall& c = GetParam();
  SetOrUnset("LOGGING_ENABLED_RUNTIME", c.runtime_env);
  SetOrUnset("LOGGING_ENABLED_ASSERT", c.assert_env);
  char flag = 0x55;
  ASSERT_TRUE(InitializeLogger(&flag, c.level_argument, dir_.path().c_str()));
  EXPECT_EQ(flag, c.flag);
  EXPECT_EQ(GetLoggingLevel(), c.level);
  // Both files exist whatever the level and the flag.
  EXPECT_EQ(ReadFileBytes(RuntimeLogIn(dir_.path())), kRuntimeFirstLine);
  EXPECT_EQ(ReadFileBytes(AssertLogIn(dir_.path())), kAssertFirstLine);
}

const FirstCall kFirstCalls[] = {
    {"NothingDefinedZero", nullptr, nullptr, 0, 0, 0},
    {"NothingDefinedPositive", nullptr, nullptr, 5, 5, 1},
    {"LevelOneEnablesAsserts", nullptr, nullptr, 1, 1, 1},
    {"NegativeActsAsZero", nullptr, nullptr, -3, 0, 0},
    {"RuntimeTextWithoutDigits", "abc", nullptr, 0, 0, 0},
    {"RuntimeVariableBeatsArgument", "3", nullptr, 5, 3, 1},
    {"RuntimeLeadingSpaceAndSign", " -12", nullptr, 0, -12, 0},
    {"RuntimeEmptyIsZero", "", nullptr, 7, 0, 1},
    {"RuntimePlusSignAndTrailingText", "\t+42x7", nullptr, 0, 42, 0},
    {"RuntimeIntMax", "2147483647", nullptr, 0, INT_MAX, 0},
    {"RuntimeIntMin", "-2147483648", nullptr, 0, INT_MIN, 0},
    {"RuntimeAboveRangeSaturates", "99999999999999999999", nullptr, 0, INT_MAX, 0},
    {"RuntimeBelowRangeSaturates", "-2147483649", nullptr, 0, INT_MIN, 0},
    {"RuntimeVariableOnNegativeCall", "9", nullptr, -1, 9, 0},
    {"AssertTextZeroEnables", nullptr, "0", 0, 0, 1},
    {"AssertEmptyDisables", nullptr, "", 0, 0, 0},
    {"AssertVariableReadOnNegativeCall", nullptr, "no", -1, 0, 1},
    {"PositiveLevelIgnoresAssertVariable", nullptr, "", 2, 2, 1},
};

INSTANTIATE_TEST_SUITE_P(Rows, FirstCallTest, ::testing::ValuesIn(kFirstCalls),
                         RowName<FirstCall>);

// --- A later call with a null directory -----------------------------------------

struct LaterCall {
  const char* name;
  int first_level;               // first call, with nothing defined but...
  const char* first_assert_env;  // ...this LOGGING_ENABLED_ASSERT
  int host_level;                // SetLoggingLevel between the calls; 0: none
  const char* runtime_env;       // then for the second call
  const char* assert_env;
  int level_argument;
  int level;
  char flag;
};
void PrintTo(const LaterCall& row, std::ostream* os) { *os << row.name; }

class LaterCallTest : public InitializeTest, public ::testing::WithParamInterface<LaterCall> {};

TEST_P(LaterCallTest, ChangesLevelAndFlagButNeverTheFiles) {
  const LaterCall& c = GetParam();
  SetOrUnset("LOGGING_ENABLED_ASSERT", c.first_assert_env);
  char flag = 0;
  ASSERT_TRUE(InitializeLogger(&flag, c.first_level, dir_.path().c_str()));
  std::string runtime = RuntimeLogIn(dir_.path());
  std::string assert_log = AssertLogIn(dir_.path());
  if (c.host_level != 0) SetLoggingLevel(c.host_level);

  SetOrUnset("LOGGING_ENABLED_RUNTIME", c.runtime_env);
  SetOrUnset("LOGGING_ENABLED_ASSERT", c.assert_env);
  flag = 0x55;
  EXPECT_TRUE(InitializeLogger(&flag, c.level_argument, nullptr));
  EXPECT_EQ(flag, c.flag);
  EXPECT_EQ(GetLoggingLevel(), c.level);
  EXPECT_EQ(EntriesIn(dir_.path()),  // sorted: the two names' seconds may differ
            (std::vector<std::string>{std::min(assert_log, runtime), std::max(assert_log, runtime)}));
  EXPECT_EQ(ReadFileBytes(runtime), kRuntimeFirstLine);
  EXPECT_EQ(ReadFileBytes(assert_log), kAssertFirstLine);
  EXPECT_TRUE(EntriesIn(tmp_.path()).empty());
}

const LaterCall kLaterCalls[] = {
    // A negative level touches neither the level nor the variables.
    {"NegativeKeepsLevelRemembersFlag", 4, nullptr, 0, "9", "", -1, 4, 1},
    {"NegativeRemembersFlagFromVariable", 0, "yes", 0, nullptr, nullptr, -1, 0, 1},
    {"NegativeRemembersDisabledFlag", 0, nullptr, 0, "8", "1", -5, 0, 0},
    {"NegativeKeepsHostLevel", 4, nullptr, 6, nullptr, nullptr, -1, 6, 1},
    // Zero reads both variables again.
    {"ZeroRereadsBothVariables", 4, nullptr, 0, "8", "1", 0, 8, 1},
    {"ZeroWithoutVariablesKeepsHostLevel", 4, nullptr, 6, nullptr, nullptr, 0, 6, 0},
    {"PositiveSetsLevelAndFlag", 2, nullptr, 0, nullptr, "", 7, 7, 1},
    {"PositiveYieldsToRuntimeVariable", 2, nullptr, 0, " -5", nullptr, 7, -5, 1},
};

INSTANTIATE_TEST_SUITE_P(Rows, LaterCallTest, ::testing::ValuesIn(kLaterCalls),
                         RowName<LaterCall>);

// --- Null flag pointer, failures and recovery -------------------------------------

TEST_F(InitializeTest, NullFlagPointerIsSkippedButTheFlagIsStillComputed) {
  ASSERT_TRUE(InitializeLogger(nullptr, 3, dir_.path().c_str()));
  EXPECT_EQ(GetLoggingLevel(), 3);
  EXPECT_EQ(ReadFileBytes(RuntimeLogIn(dir_.path())), kRuntimeFirstLine);
  EXPECT_EQ(ReadFileBytes(AssertLogIn(dir_.path())), kAssertFirstLine);
  EXPECT_TRUE(InitializeLogger(nullptr, -1, nullptr));
  char flag = 0x55;
  EXPECT_TRUE(InitializeLogger(&flag, -1, nullptr));
  EXPECT_EQ(flag, 1);  // remembered from the first call
}

// A directory argument that names a regular file passes the existence probe,
// but no file can be created under it, for root too.
TEST_F(InitializeTest, FailedOpenLeavesNothingBehind) {
  const std::string plain = dir_.Join("plain");
  WriteFileBytes(plain, "x");
  char flag = 0;
  EXPECT_FALSE(InitializeLogger(&flag, 3, plain.c_str()));
  EXPECT_EQ(flag, 1);  // written before the failure
  EXPECT_EQ(GetLoggingLevel(), 3);
  RuntimeInfoToLogfileA("lost.src", 1, "lost", 3);
  AssertToLogfile("lost.src", 2, "lost");
  EXPECT_EQ(EntriesIn(dir_.path()), std::vector<std::string>{plain});
  EXPECT_EQ(ReadFileBytes(plain), "x");
  EXPECT_TRUE(EntriesIn(tmp_.path()).empty());

  // The next call opens both files as if nothing had happened; -1 still
  // runs the runtime part (nothing has succeeded yet) and leaves the level.
  const std::string logs = dir_.Join("logs");
  flag = 0x55;
  ASSERT_TRUE(InitializeLogger(&flag, -1, logs.c_str()));
  EXPECT_EQ(flag, 1);
  EXPECT_EQ(GetLoggingLevel(), 3);
  const std::string runtime = RuntimeLogIn(logs);
  const std::string assert_log = AssertLogIn(logs);
  EXPECT_EQ(ReadFileBytes(runtime), kRuntimeFirstLine);
  EXPECT_EQ(ReadFileBytes(assert_log), kAssertFirstLine);
  RuntimeInfoToLogfileA("ok.src", 3, "kept", 3);
  AssertToLogfile("ok.src", 4, "kept");
  EXPECT_EQ(NormalizedRecords(runtime, kRuntimeFirstLine),
            "<TS>\t<TID>\tok.src\t3\tkept\t3\r\n");
  EXPECT_EQ(NormalizedRecords(assert_log, kAssertFirstLine),
            "<TS>\t<TID>\tok.src\t4\tkept\r\n");
}

#ifndef _WIN32
// A file size limit of zero lets the runtime file be created but not
// written. The failed attempt must close it, and the next call must work.
TEST_F(InitializeTest, FailedFirstLineClosesTheFileAndTheNextCallWorks) {
  signal(SIGXFSZ, SIG_IGN);
  rlimit old_limit;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  rlimit no_room = old_limit;
  no_room.rlim_cur = 0;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &no_room), 0);
  char flag = 0;
  const bool result = InitializeLogger(&flag, 0, dir_.path().c_str());
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old_limit), 0);
  EXPECT_FALSE(result);
  const std::vector<std::string> failed = FindLogFiles(dir_.path(), "_runtime.log");
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(ReadFileBytes(failed[0]), "");
  EXPECT_EQ(DescriptorsOpenTo(failed), 0);
  RuntimeInfoToLogfileA("lost.src", 1, "lost", 0);
  EXPECT_EQ(ReadFileBytes(failed[0]), "");

  ASSERT_TRUE(InitializeLogger(&flag, 0, dir_.path().c_str()));
  // Opened again in the same second, the failed file is reused; otherwise
  // it stays behind, empty, beside the new one.
  const std::vector<std::string> runtime_files = FindLogFiles(dir_.path(), "_runtime.log");
  std::vector<std::string> contents;
  for (const std::string& path : runtime_files) contents.push_back(ReadFileBytes(path));
  std::sort(contents.begin(), contents.end());
  ASSERT_LE(contents.size(), 2u);
  EXPECT_EQ(contents.back(), kRuntimeFirstLine);
  EXPECT_EQ(contents.size() == 2 ? contents.front() : "", "");
  const std::string assert_log = AssertLogIn(dir_.path());
  EXPECT_EQ(ReadFileBytes(assert_log), kAssertFirstLine);
  EXPECT_EQ(DescriptorsOpenTo(runtime_files), 1);
  EXPECT_EQ(DescriptorsOpenTo({assert_log}), 1);
}
#endif

// Directories stand at every name the assert file can get in the next few
// seconds, so it cannot be created (for root too) while the runtime file can.
TEST_F(InitializeTest, AssertFileFailureIsRetriedByTheNextCall) {
  const std::vector<std::string> planted = PredictedLogPaths(dir_.path(), "_assert.log", 4);
  for (const std::string& path : planted) ASSERT_TRUE(fs::create_directory(path)) << path;

  char flag = 0;
  EXPECT_FALSE(InitializeLogger(&flag, 6, dir_.path().c_str()));
  EXPECT_EQ(flag, 1);
  EXPECT_EQ(GetLoggingLevel(), 6);
  std::vector<std::string> runtime_files = FindLogFiles(dir_.path(), "_runtime.log");
  ASSERT_EQ(runtime_files.size(), 1u);
  const std::string runtime = runtime_files[0];
  EXPECT_EQ(ReadFileBytes(runtime), kRuntimeFirstLine);

  // The runtime file is open and takes records; assertion records go nowhere.
  AssertToLogfile("a.src", 1, "lost");
  RuntimeInfoToLogfileA("r.src", 2, "early", 6);
  std::vector<std::string> expected_entries = planted;
  expected_entries.push_back(runtime);
  std::sort(expected_entries.begin(), expected_entries.end());
  EXPECT_EQ(EntriesIn(dir_.path()), expected_entries);
  for (const std::string& path : planted) EXPECT_TRUE(fs::is_empty(path)) << path;
  EXPECT_TRUE(EntriesIn(tmp_.path()).empty());
  const std::string runtime_content = ReadFileBytes(runtime);
  EXPECT_EQ(NormalizedRecords(runtime, kRuntimeFirstLine),
            "<TS>\t<TID>\tr.src\t2\tearly\t6\r\n");

  for (const std::string& path : planted) fs::remove(path);
  flag = 0x55;
  ASSERT_TRUE(InitializeLogger(&flag, 0, dir_.path().c_str()));
  EXPECT_EQ(flag, 0);
  EXPECT_EQ(GetLoggingLevel(), 6);
  EXPECT_EQ(FindLogFiles(dir_.path(), "_runtime.log"), runtime_files);
  EXPECT_EQ(ReadFileBytes(runtime), runtime_content);  // neither reopened nor emptied
  const std::string assert_log = AssertLogIn(dir_.path());
  EXPECT_EQ(ReadFileBytes(assert_log), kAssertFirstLine);

  AssertToLogfile("a.src", 3, "x > 0");
  RuntimeInfoToLogfileA("r.src", 4, "late", 1);
  EXPECT_EQ(NormalizedRecords(runtime, kRuntimeFirstLine),
            "<TS>\t<TID>\tr.src\t2\tearly\t6\r\n<TS>\t<TID>\tr.src\t4\tlate\t1\r\n");
  EXPECT_EQ(NormalizedRecords(assert_log, kAssertFirstLine),
            "<TS>\t<TID>\ta.src\t3\tx > 0\r\n");
}

}  // namespace
}  // namespace vqtest
