// `vqlog show` on logs this process writes through the library: every kind
// of line, merging, filters, and --follow.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <vqlogger.h>

#include "log_reader.h"
#include "tool_test_support.h"

namespace {

using nlohmann::json;

struct Logs {
  std::string runtime, assert_log;
};

Logs StartLogging(const vqtest::ScratchDir& dir) {
  vqtest::ClearLoggerVariables();
  char flag = 0;
  EXPECT_TRUE(InitializeLogger(&flag, 0, dir.path().c_str()));
  return {vqtest::RuntimeLogIn(dir.path()), vqtest::AssertLogIn(dir.path())};
}

// Parses `show --json` output back; every record with a time must carry a
// well-formed one.
std::vector<json> ShowJson(const std::vector<std::string>& args, std::string* err = nullptr) {
  std::vector<std::string> all = {"show", "--json"};
  all.insert(all.end(), args.begin(), args.end());
  vqtest::ToolRun run = vqtest::RunProgram(VQLOG_PATH, all);
  EXPECT_EQ(run.status, 0) << run.err;
  if (err) *err = run.err;
  std::vector<json> records;
  for (const std::string& line : vqtest::SplitLines(run.out)) records.push_back(json::parse(line));
  return records;
}

std::vector<std::string> Texts(const std::vector<json>& records) {
  std::vector<std::string> texts;
  for (const json& r : records) texts.push_back(r.value("message", r.value("expression", r.value("text", ""))));
  return texts;
}

void SleepPastOneMillisecond() { std::this_thread::sleep_for(std::chrono::milliseconds(3)); }

TEST(VqlogShowTest, ReadsEveryKindOfLineAsJson) {
  vqtest::ScratchDir dir;
  Logs logs = StartLogging(dir);
  RuntimeInfoToLogfileA("a.c", 1, "a\tb\r\nc", -1);
  RuntimeInfoToLogfileA("b.c", 4, std::string(4000, 'x').c_str(), -2);
  // Lines the library writes only in extremity, and one it never writes.
  std::string bytes = vqtest::ReadFileBytes(logs.runtime) + "Null Pointer Error\r\nnot a record\r\n";
  vqtest::WriteFileBytes(logs.runtime, bytes);
  SleepPastOneMillisecond();
  AssertToLogfile("c.c", 7, "x\ty\nz");
  AssertToLogfile("d.c", 8, "");

  std::string err;
  std::vector<json> records = ShowJson({logs.runtime, logs.assert_log}, &err);
  const json expected = json::parse(R"([
    {"kind":"runtime","thread":0,"file":"a.c","line":1,"message":"a b  c","level":-1,"log":"RT","log_line":2},
    {"kind":"fallback","thread":0,"file":"b.c","line":4,"message":"Log Message too Long","level":-2,"log":"RT","log_line":3},
    {"kind":"last_resort","text":"Null Pointer Error","log":"RT","log_line":4},
    {"kind":"unparsed","text":"not a record","log":"RT","log_line":5},
    {"kind":"assert","thread":0,"file":"c.c","line":7,"expression":"x\ty\nz","log":"AS","log_line":2},
    {"kind":"assert","thread":0,"file":"d.c","line":8,"expression":"","log":"AS","log_line":4}
  ])");
  ASSERT_EQ(records.size(), expected.size());
  for (size_t i = 0; i < records.size(); ++i) {
    json want = expected[i];
    if (want.contains("thread")) {
      want["thread"] = vqtest::CurrentTid();
      ASSERT_TRUE(records[i].contains("time")) << records[i];
      std::string time = records[i]["time"];
      EXPECT_TRUE(vqlog::ParseUserTime(time) && vqlog::ParseUserTime(time)->Iso() == time) << time;
      records[i].erase("time");
    }
    want["log"] = want["log"] == "RT" ? logs.runtime : logs.assert_log;
    want["exe"] = vqtest::ExeBaseName();
    want["pid"] = vqtest::CurrentPid();
    EXPECT_EQ(records[i], want) << i;
  }
  EXPECT_EQ(err, "vqlog: " + logs.runtime + ": 1 line not in the log format, shown as unparsed\n");
}

TEST(VqlogShowTest, MergesLogsInTimeOrderWhateverTheArgumentOrder) {
  vqtest::ScratchDir dir;
  Logs logs = StartLogging(dir);
  RuntimeInfoToLogfileA("m.c", 1, "first", 1);
  SleepPastOneMillisecond();
  AssertToLogfile("m.c", 2, "second");
  SleepPastOneMillisecond();
  RuntimeInfoToLogfileA("m.c", 3, "third", 1);
  SleepPastOneMillisecond();
  AssertToLogfile("m.c", 4, "fourth");
  const std::vector<std::string> in_order = {"first", "second", "third", "fourth"};
  EXPECT_EQ(Texts(ShowJson({logs.assert_log, logs.runtime})), in_order);
  EXPECT_EQ(Texts(ShowJson({logs.runtime, logs.assert_log})), in_order);
}

TEST(VqlogShowTest, FiltersSelectRecords) {
  vqtest::ScratchDir dir;
  Logs logs = StartLogging(dir);
  for (int level = 1; level <= 4; ++level) {
    RuntimeInfoToLogfileA("f.c", level, ("level " + std::to_string(level)).c_str(), level);
    SleepPastOneMillisecond();
  }
  int other_tid = 0;
  std::thread([&] {
    other_tid = vqtest::CurrentTid();
    RuntimeInfoToLogfileA("needle.c", 5, "from the other thread", 2);
  }).join();
  SleepPastOneMillisecond();
  AssertToLogfile("f.c", 6, "a needle");

  std::vector<json> all = ShowJson({logs.runtime, logs.assert_log});
  ASSERT_EQ(all.size(), 6u);
  // --since the third record's time in ISO form, --until the fourth's in the
  // log's own form (milliseconds without leading zeros).
  std::string third = all[2]["time"], fourth = all[3]["time"];
  vqlog::Timestamp t = *vqlog::ParseUserTime(fourth);
  std::string fourth_log_form = std::to_string(t.year) + "-" + std::to_string(t.month) + "-" + std::to_string(t.day) +
                                " " + std::to_string(t.hour) + ":" + std::to_string(t.minute) + ":" +
                                std::to_string(t.second) + "." + std::to_string(t.millisecond);
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> texts;
  };
  const Case cases[] = {
      {{"--level", "2:3"}, {"level 2", "level 3", "from the other thread", "a needle"}},
      {{"--level", "4"}, {"level 4", "a needle"}},
      {{"--level", ":1"}, {"level 1", "a needle"}},
      {{"--thread", std::to_string(other_tid)}, {"from the other thread"}},
      {{"--grep", "needle"}, {"from the other thread", "a needle"}},
      {{"--since", third, "--until", fourth_log_form}, {"level 3", "level 4"}},
      {{"--level", "2", "--grep", "level"}, {"level 2", "level 3", "level 4"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = c.args;
    args.push_back(logs.runtime);
    args.push_back(logs.assert_log);
    EXPECT_EQ(Texts(ShowJson(args)), c.texts) << c.args[0] << " " << c.args[1];
  }
}

TEST(VqlogShowTest, TableAlignsColumnsAndMarksOddLines) {
  vqtest::ScratchDir dir;
  Logs logs = StartLogging(dir);
  RuntimeInfoToLogfileA("a.c", 1, "hello", 12);
  AssertToLogfile("long/name.c", 22, "p\tq\nr");
  vqtest::ToolRun run = vqtest::RunProgram(VQLOG_PATH, {"show", logs.runtime, logs.assert_log});
  ASSERT_EQ(run.status, 0);
  std::vector<std::string> lines = vqtest::SplitLines(run.out);
  ASSERT_EQ(lines.size(), 4u) << run.out;
  // Times and thread ids vary; the columns after them do not.
  std::string tid = std::to_string(vqtest::CurrentTid());
  size_t width = std::max<size_t>(6, tid.size());
  auto sp = [](size_t n) { return std::string(n, ' '); };
  std::string thread = "  " + sp(width - tid.size()) + tid + "  ";
  EXPECT_EQ(lines[0], "TIME" + sp(21) + "THREAD" + sp(width - 4) + "SOURCE" + sp(11) + "LEVEL  TEXT\n");
  EXPECT_EQ(lines[1].substr(23), thread + "a.c:1" + sp(11) + sp(4) + "12  hello\n");
  EXPECT_EQ(lines[2].substr(23), thread + "long/name.c:22  ASSERT  p\\tq\n");
  EXPECT_EQ(lines[3], sp(23 + 2 + width + 2 + 14 + 2 + 6 + 2) + "r\n");
}

TEST(VqlogShowTest, FollowPicksUpAnAppendedRecord) {
  vqtest::ScratchDir dir;
  Logs logs = StartLogging(dir);
  RuntimeInfoToLogfileA("w.c", 1, "before", 1);
  const std::string out_path = dir.Join("follow.out");
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (!freopen(out_path.c_str(), "w", stdout)) _exit(127);
    execl(VQLOG_PATH, VQLOG_PATH, "show", "--json", "--follow", logs.runtime.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  auto wait_for_lines = [&](size_t n) {
    for (int i = 0; i < 500; ++i) {
      std::vector<std::string> lines = vqtest::SplitLines(vqtest::ReadFileBytes(out_path));
      if (lines.size() >= n) return lines;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return vqtest::SplitLines(vqtest::ReadFileBytes(out_path));
  };
  EXPECT_EQ(wait_for_lines(1).size(), 1u);
  RuntimeInfoToLogfileA("w.c", 2, "after", 1);
  std::vector<std::string> lines = wait_for_lines(2);
  kill(child, SIGTERM);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  std::vector<json> records;
  for (const std::string& line : lines) records.push_back(json::parse(line));
  EXPECT_EQ(Texts(records), (std::vector<std::string>{"before", "after"}));
}

}  // namespace
