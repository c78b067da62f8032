// Log names read back, and the files a selection picks from directories.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <sstream>
#include <string>
#include <vector>

#include "log_discovery.h"
#include "support/test_support.h"

namespace {

using vqlog::LogFileName;
using vqlog::LogSelection;
using vqlog::LogSource;
using vqlog::ParseLogFileName;

// "exe|pid|Y-M-D-h-m-s|kind", or "-" when the name does not follow the pattern.
std::string Describe(const std::optional<LogFileName>& n) {
  if (!n) return "-";
  return n->exe + "|" + std::to_string(n->pid) + "|" + std::to_string(n->year) + "-" + std::to_string(n->month) +
         "-" + std::to_string(n->day) + "-" + std::to_string(n->hour) + "-" + std::to_string(n->minute) + "-" +
         std::to_string(n->second) + "|" + (n->assert_log ? "assert" : "runtime");
}

TEST(LogFileNameTest, ReadsWhatTheLibraryWritesAndNothingElse) {
  const struct {
    const char* name;
    const char* expected;
  } kCases[] = {
      {"tool.main_1234_2026-12-7-9-5-3_runtime.log", "tool.main|1234|2026-12-7-9-5-3|runtime"},
      {"tool.main_1234_2026-12-7-9-5-4_assert.log", "tool.main|1234|2026-12-7-9-5-4|assert"},
      {"my_app_v2_77_2026-1-31-23-59-59_runtime.log", "my_app_v2|77|2026-1-31-23-59-59|runtime"},
      {"_5_2024-2-29-0-0-0_assert.log", "|5|2024-2-29-0-0-0|assert"},
      {"svc_-2_2026-12-7-9-5-3_runtime.log", "svc|-2|2026-12-7-9-5-3|runtime"},
      {"svc_12_2025-2-29-0-0-0_runtime.log", "-"},   // no such day
      {"svc_12_2026-13-1-0-0-0_runtime.log", "-"},
      {"svc_12_2026-12-7-24-0-0_runtime.log", "-"},
      {"svc_12_2026-12-7-9-60-0_runtime.log", "-"},
      {"svc_12_2026-12-7-9-5_runtime.log", "-"},     // five time fields
      {"svc_12_2026-12-7-9-5-3-1_runtime.log", "-"},
      {"svc_12_2026-12-7-9-5-_runtime.log", "-"},
      {"svc_1x_2026-12-7-9-5-3_runtime.log", "-"},
      {"svc__2026-12-7-9-5-3_runtime.log", "-"},
      {"12_2026-12-7-9-5-3_runtime.log", "-"},        // no exe part at all
      {"svc_12_1234567890-1-1-0-0-0_runtime.log", "-"},
      {"svc_12_2026-12-7-9-5-3_runtime.txt", "-"},
      {"svc_12_2026-12-7-9-5-3_runtime.log.1", "-"},
      {"_runtime.log", "-"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(Describe(ParseLogFileName(c.name)), c.expected) << c.name;
  }
}

// Base names of the selected sources, in order, and the notes.
struct Picked {
  std::vector<std::string> names;
  std::string notes;
};

Picked Pick(const LogSelection& selection) {
  std::ostringstream notes;
  Picked picked;
  for (const LogSource& s : vqlog::SelectLogs(selection, notes)) {
    size_t slash = s.path.find_last_of("/\\");
    picked.names.push_back(slash == std::string::npos ? s.path : s.path.substr(slash + 1));
  }
  picked.notes = notes.str();
  return picked;
}

TEST(SelectLogsTest, SelectorsPickFromTheNames) {
  vqtest::ScratchDir dir;
  const std::vector<std::string> kFiles = {
      "a_10_2026-12-7-9-0-0_runtime.log",  "a_10_2026-12-7-9-0-1_assert.log",
      "b_20_2026-12-7-8-0-0_runtime.log",  "b_20_2026-12-7-8-0-0_assert.log",
      "a_30_2026-12-8-10-0-0_runtime.log", "a_30_2026-12-8-10-0-0_assert.log",
      "a_10_2026-12-9-0-0-0_runtime.log",  // pid 10 again, another process
      "notes.txt",                         // not a log: ignored without a note
  };
  for (const std::string& f : kFiles) vqtest::WriteFileBytes(dir.Join(f), "");
  const std::string kOrderAll =
      "b_20_2026-12-7-8-0-0_runtime.log b_20_2026-12-7-8-0-0_assert.log a_10_2026-12-7-9-0-0_runtime.log "
      "a_10_2026-12-7-9-0-1_assert.log a_30_2026-12-8-10-0-0_runtime.log a_30_2026-12-8-10-0-0_assert.log "
      "a_10_2026-12-9-0-0-0_runtime.log";

  const struct {
    const char* what;
    LogSelection selection;
    std::string expected;
  } kCases[] = {
      {"all, by start, pid, runtime first", {{dir.path()}, {}, {}, {}}, kOrderAll},
      {"--exe", {{dir.path()}, std::string("b"), {}, {}},
       "b_20_2026-12-7-8-0-0_runtime.log b_20_2026-12-7-8-0-0_assert.log"},
      {"--pid", {{dir.path()}, {}, 10, {}},
       "a_10_2026-12-7-9-0-0_runtime.log a_10_2026-12-7-9-0-1_assert.log a_10_2026-12-9-0-0-0_runtime.log"},
      {"--last 1", {{dir.path()}, {}, {}, 1}, "a_10_2026-12-9-0-0-0_runtime.log"},
      {"--last 2 keeps each process's pair", {{dir.path()}, {}, {}, 2},
       "a_30_2026-12-8-10-0-0_runtime.log a_30_2026-12-8-10-0-0_assert.log a_10_2026-12-9-0-0-0_runtime.log"},
      {"--last after --exe", {{dir.path()}, std::string("b"), {}, 5},
       "b_20_2026-12-7-8-0-0_runtime.log b_20_2026-12-7-8-0-0_assert.log"},
      {"a file named twice is read once", {{dir.path(), dir.Join("b_20_2026-12-7-8-0-0_assert.log")}, {}, {}, {}},
       kOrderAll},
  };
  for (const auto& c : kCases) {
    Picked picked = Pick(c.selection);
    std::string joined;
    for (const std::string& n : picked.names) joined += (joined.empty() ? "" : " ") + n;
    EXPECT_EQ(joined, c.expected) << c.what;
    EXPECT_EQ(picked.notes, "") << c.what;
  }
}

TEST(SelectLogsTest, OddNamesAreReadWhenNamedAndNotedInADirectory) {
  vqtest::ScratchDir dir;
  const std::string odd = dir.Join("copied_runtime.log");
  vqtest::WriteFileBytes(odd, "");
  vqtest::WriteFileBytes(dir.Join("x_1_2026-1-1-0-0-0_runtime.log"), "");

  Picked in_dir = Pick({{dir.path()}, {}, {}, {}});
  EXPECT_EQ(in_dir.names, std::vector<std::string>{"x_1_2026-1-1-0-0-0_runtime.log"});
  EXPECT_EQ(in_dir.notes, "vqlog: skipped " + odd +
                              ": the name does not follow <exe>_<pid>_<Y-M-D-h-m-s>_runtime.log or _assert.log\n");

  Picked named = Pick({{odd, "-"}, {}, {}, {}});
  EXPECT_EQ(named.names, (std::vector<std::string>{"copied_runtime.log", "-"}));
  EXPECT_EQ(named.notes, "");

  Picked selected = Pick({{odd}, std::string("x"), {}, {}});
  EXPECT_TRUE(selected.names.empty());
  EXPECT_EQ(selected.notes, "vqlog: skipped " + odd +
                                ": --exe, --pid and --last select by a log's name, and this one shows no process\n");
}

#ifdef _WIN32
// Windows forms of a directory: backslashes, a drive letter, forward slashes.
TEST(SelectLogsTest, WindowsPathsAreListedInTheirOwnForm) {
  vqtest::ScratchDir dir;
  vqtest::WriteFileBytes(dir.Join("w_1_2026-1-1-0-0-0_runtime.log"), "");
  char full[MAX_PATH];
  const std::string absolute(full, GetFullPathNameA(dir.path().c_str(), MAX_PATH, full, nullptr));
  std::string slashes = absolute;
  for (char& c : slashes) c = c == '\\' ? '/' : c;
  ASSERT_EQ(absolute.substr(1, 2), ":\\");
  const struct {
    std::string operand, path;
  } kCases[] = {
      {absolute, absolute + "\\w_1_2026-1-1-0-0-0_runtime.log"},
      {absolute + "\\", absolute + "\\w_1_2026-1-1-0-0-0_runtime.log"},
      {slashes, slashes + "\\w_1_2026-1-1-0-0-0_runtime.log"},  // a drive letter: a backslash
  };
  for (const auto& c : kCases) {
    std::ostringstream notes;
    std::vector<LogSource> found = vqlog::SelectLogs({{c.operand}, {}, {}, {}}, notes);
    ASSERT_EQ(found.size(), 1u) << c.operand << notes.str();
    EXPECT_EQ(found[0].path, c.path);
    EXPECT_EQ(notes.str(), "");
  }
}
#endif

TEST(SelectLogsTest, DefaultDirectoryIsLoggingDirElseTheTemporaryDirectory) {
  vqtest::ScratchDir logs, temp;
  vqtest::WriteFileBytes(logs.Join("l_1_2026-1-1-0-0-0_runtime.log"), "");
  vqtest::WriteFileBytes(temp.Join("t_1_2026-1-1-0-0-0_runtime.log"), "");
  vqtest::ClearLoggerVariables();
  vqtest::UseAsTempDirectory(temp.path());
  EXPECT_EQ(Pick({}).names, std::vector<std::string>{"t_1_2026-1-1-0-0-0_runtime.log"});
  vqtest::SetEnv("LOGGING_DIR", logs.path().c_str());
  EXPECT_EQ(Pick({}).names, std::vector<std::string>{"l_1_2026-1-1-0-0-0_runtime.log"});
  vqtest::UnsetEnv("LOGGING_DIR");
}

}  // namespace
