// `vqlog show` and `vqlog ls` on logs written here by hand: what a directory
// scan reads, where lines without a time go in a filtered merge, what stderr
// notes show of odd names, and the checks of the selector options.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "tool_test_support.h"

namespace {

const std::string kHeader = "\xEF\xBB\xBFTIMESTAMP\tTHREAD_ID\tFILENAME\tLINE_NUMBER\tLOGGED_DATA\tLEVEL\r\n";

// A runtime record line of thread 1, "a.c" line 1, level 1.
std::string Line(const std::string& time, const std::string& text) {
  return time + "\t1\ta.c\t1\t" + text + "\t1\r\n";
}

// The JSON line `show --json` gives for a record of Line() in `log`
// (named <exe>_<pid>_...), or for an unparsed line when `time` is empty.
std::string Json(const std::string& log, const std::string& exe, int pid, const std::string& time,
                 const std::string& text, int log_line) {
  std::string tail = "\"exe\":\"" + exe + "\",\"pid\":" + std::to_string(pid) + ",\"log\":\"" + log +
                     "\",\"log_line\":" + std::to_string(log_line) + "}\n";
  if (time.empty()) return "{\"kind\":\"unparsed\",\"text\":\"" + text + "\"," + tail;
  return "{\"kind\":\"runtime\",\"time\":\"" + time + "\",\"thread\":1,\"file\":\"a.c\",\"line\":1,\"message\":\"" +
         text + "\",\"level\":1," + tail;
}

// vqlog, ended after 10 s at most (a hang fails as status 124).
vqtest::ToolRun Vqlog(const std::vector<std::string>& args) {
  std::vector<std::string> all = {"10", VQLOG_PATH};
  all.insert(all.end(), args.begin(), args.end());
  return vqtest::RunProgram("timeout", all);
}

struct Expected {
  int status;
  std::string out, err;
};

void Check(const std::vector<std::string>& args, const Expected& want) {
  vqtest::ToolRun run = Vqlog(args);
  std::string what;
  for (const std::string& a : args) what += a + " ";
  EXPECT_EQ(run.status, want.status) << what;
  EXPECT_EQ(run.out, want.out) << what;
  EXPECT_EQ(run.err, want.err) << what;
}

TEST(VqlogSelectionTest, ADirectoryScanReadsRegularFilesOnly) {
  vqtest::ScratchDir dir;
  const std::string log = dir.Join("app_1_2026-1-1-0-0-0_runtime.log");
  vqtest::WriteFileBytes(log, kHeader + Line("2026-1-1 0:0:1.0", "real"));
  const std::string fifo = dir.Join("evil_1_2026-1-1-0-0-0_runtime.log");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(symlink("/dev/zero", dir.Join("zero_2_2026-1-1-0-0-0_runtime.log").c_str()), 0);
  const std::string notes = "vqlog: skipped " + fifo + ": not a regular file\nvqlog: skipped " +
                            dir.Join("zero_2_2026-1-1-0-0-0_runtime.log") + ": not a regular file\n";
  const std::string shown = Json(log, "app", 1, "2026-01-01T00:00:01.000", "real", 2);
  const std::string listed = "{\"exe\":\"app\",\"pid\":1,\"start\":\"2026-01-01T00:00:00\",\"runtime_records\":1,"
                             "\"assert_records\":null,\"first\":\"2026-01-01T00:00:01.000\",\"last\":"
                             "\"2026-01-01T00:00:01.000\",\"bytes\":" +
                             std::to_string(vqtest::ReadFileBytes(log).size()) + ",\"runtime_log\":\"" + log +
                             "\",\"assert_log\":null}\n";
  const struct {
    std::vector<std::string> args;
    Expected want;
  } kCases[] = {
      {{"show", "--json", dir.path()}, {0, shown, notes}},
      {{"ls", "--json", dir.path()}, {0, listed, notes}},
  };
  for (const auto& c : kCases) {
    // The skip notes come in directory order.
    vqtest::ToolRun run = Vqlog(c.args);
    EXPECT_EQ(run.status, c.want.status) << c.args[0];
    EXPECT_EQ(run.out, c.want.out) << c.args[0];
    std::vector<std::string> got = vqtest::SplitLines(run.err), want = vqtest::SplitLines(c.want.err);
    std::sort(got.begin(), got.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got, want) << c.args[0];
  }
}

TEST(VqlogSelectionTest, UntilShowsRecordsAfterAClockStepBack) {
  vqtest::ScratchDir dir;
  const std::string log = dir.Join("app_7_2026-10-25-2-50-0_runtime.log");
  vqtest::WriteFileBytes(log, kHeader + Line("2026-10-25 2:50:0.1", "before") + Line("2026-10-25 2:10:0.0", "after"));
  const Expected after = {0, Json(log, "app", 7, "2026-10-25T02:10:00.000", "after", 3), ""};
  Check({"show", "--json", "--until", "2026-10-25 2:20", dir.path()}, after);
  Check({"show", "--json", "--until", "2026-10-25 2:20", log}, after);
}

TEST(VqlogSelectionTest, ALineWithoutATimeStaysAfterTheRecordBeforeItUnderEveryFilter) {
  vqtest::ScratchDir dir;
  const std::string a = dir.Join("a_1_2026-1-1-0-0-0_runtime.log"), b = dir.Join("b_2_2026-1-1-0-0-0_runtime.log");
  vqtest::WriteFileBytes(a, kHeader + Line("2026-1-1 0:0:1.0", "keep one") + Line("2026-1-1 0:0:5.0", "other") +
                                "keep garbage line\r\n");
  vqtest::WriteFileBytes(b, kHeader + Line("2026-1-1 0:0:3.0", "keep two"));
  const std::string one = Json(a, "a", 1, "2026-01-01T00:00:01.000", "keep one", 2);
  const std::string other = Json(a, "a", 1, "2026-01-01T00:00:05.000", "other", 3);
  const std::string garbage = Json(a, "a", 1, "", "keep garbage line", 4);
  const std::string two = Json(b, "b", 2, "2026-01-01T00:00:03.000", "keep two", 2);
  const std::string note = "vqlog: " + a + ": 1 line not in the log format, shown as unparsed\n";
  const struct {
    std::vector<std::string> filter;
    std::string out;
  } kCases[] = {
      {{}, one + two + other + garbage},
      {{"--grep", "keep"}, one + two + garbage},
      {{"--grep", "keep", "--level", "1"}, one + two + garbage},
      {{"--since", "2026-1-1 0:0:2"}, two + other + garbage},
      {{"--until", "2026-1-1 0:0:4"}, one + two + garbage},
  };
  for (const auto& c : kCases) {
    std::vector<std::string> args = {"show", "--json"};
    args.insert(args.end(), c.filter.begin(), c.filter.end());
    args.push_back(dir.path());
    Check(args, {0, c.out, note});
  }
}

TEST(VqlogSelectionTest, NotesShowNamesSafely) {
  vqtest::ScratchDir dir;
  const std::string evil = "x\x1b]0;OWNED\x07_1_2026-1-1-0-0-0_runtime.log";
  const std::string shown = "x\\x1B]0;OWNED\\x07_1_2026-1-1-0-0-0_runtime.log";
  vqtest::ScratchDir with_dir, with_link;
  ASSERT_EQ(mkdir(with_dir.Join(evil).c_str(), 0700), 0);
  ASSERT_EQ(symlink("missing", with_link.Join(evil).c_str()), 0);
  vqtest::WriteFileBytes(dir.Join(evil), kHeader + "odd \x1b[2J line\r\n");
  const struct {
    std::vector<std::string> args;
    Expected want;
  } kCases[] = {
      {{"show", with_dir.path()},
       {3, "", "vqlog: skipped " + with_dir.Join(shown) + ": a directory\nvqlog: no log to show\n"}},
      {{"show", with_link.path()},
       {1, "", "vqlog: cannot open " + with_link.Join(shown) + ": No such file or directory\n"}},
      {{"show", "--json", "--grep", "nothing", dir.Join(evil)},
       {0, "", "vqlog: " + dir.Join(shown) + ": 1 line not in the log format, shown as unparsed\n"}},
      {{"ls", with_link.path()},
       {1, "EXE" + std::string(14, ' ') + "  PID  START                RUNTIME  ASSERT  FIRST  LAST  BYTES\nx\\x1B]0;OWNED\\x07    1  "
           "2026-01-01 00:00:00        ?       -  -      -         -\n",
        "vqlog: cannot open " + with_link.Join(shown) + ": No such file or directory\n"}},
  };
  for (const auto& c : kCases) Check(c.args, c.want);
}

// 300 logs whose records interleave in time, read under small descriptor
// limits: every record, in the order an unlimited run gives.
TEST(VqlogSelectionTest, OverlappingLogsAreAllReadUnderAnyDescriptorLimit) {
  vqtest::ScratchDir dir;
  constexpr int kLogs = 300, kRecords = 20;
  for (int p = 0; p < kLogs; ++p) {
    std::string bytes = kHeader;
    for (int i = 0; i < kRecords; ++i) {
      int ms = i * 997 + p * 13;
      bytes += Line("2026-1-1 0:" + std::to_string(ms / 60000) + ":" + std::to_string(ms / 1000 % 60) + "." +
                        std::to_string(ms % 1000),
                    std::to_string(p) + "." + std::to_string(i));
    }
    vqtest::WriteFileBytes(dir.Join("app_" + std::to_string(1000 + p) + "_2026-1-1-0-0-0_runtime.log"), bytes);
  }
  const vqtest::ToolRun unlimited = Vqlog({"show", "--json", dir.path()});
  ASSERT_EQ(vqtest::SplitLines(unlimited.out).size(), static_cast<size_t>(kLogs * kRecords)) << unlimited.err;
  const std::string tool = "exec timeout 20 " + vqtest::ShellQuote(VQLOG_PATH);
  const struct {
    std::string script;
    Expected want;
  } kCases[] = {
      {"ulimit -n 64; " + tool + " show --json " + dir.path(), {0, unlimited.out, ""}},
      {"ulimit -n 128; " + tool + " show --json --grep . " + dir.path(), {0, unlimited.out, ""}},
      {"ulimit -n 64; " + tool + " show --follow " + dir.path(),
       {1, "", "vqlog: cannot follow 300 logs: at most 48 files may be open at once here (ulimit -n); select fewer "
               "with --exe, --pid or --last\n"}},
  };
  for (const auto& c : kCases) {
    vqtest::ToolRun run = vqtest::RunProgram("sh", {"-c", c.script});
    EXPECT_EQ(run.status, c.want.status) << c.script;
    EXPECT_EQ(run.out, c.want.out) << c.script;
    EXPECT_EQ(run.err, c.want.err) << c.script;
  }
}

// Following a directory: logs that appear join (if the selectors take
// them), with a note; a deleted log leaves, with a note.
TEST(VqlogSelectionTest, FollowingADirectoryTakesInNewLogsAndLetsDeletedOnesGo) {
  const std::string early = "_2026-1-1-0-0-0_runtime.log", late = "_2026-1-1-0-0-5_runtime.log";
  const struct {
    std::vector<std::string> selectors;
    std::vector<std::string> before, after;  // logs there at the start; logs written while it follows
    std::string deleted;
    std::vector<std::string> shown, joined;  // logs whose one record is shown, in order; logs noted as joining
  } kCases[] = {
      {{}, {"a_1" + early}, {"b_2" + late}, "a_1" + early, {"a_1" + early, "b_2" + late}, {"b_2" + late}},
      {{"--exe", "b"}, {"a_1" + early, "b_2" + early}, {"c_3" + late, "b_4" + late}, "b_2" + early,
       {"b_2" + early, "b_4" + late}, {"b_4" + late}},
      {{"--last", "1"}, {"a_1" + early, "b_2" + early}, {"c_3" + late}, "b_2" + early,
       {"b_2" + early, "c_3" + late}, {"c_3" + late}},
  };
  for (const auto& c : kCases) {
    vqtest::ScratchDir dir, io;
    auto write = [&](const std::string& name) {
      vqtest::WriteFileBytes(dir.Join(name), kHeader + Line("2026-1-1 0:0:1.0", name.substr(0, 3)));
    };
    for (const std::string& name : c.before) write(name);
    std::vector<std::string> args = {"show", "--json", "--follow"};
    args.insert(args.end(), c.selectors.begin(), c.selectors.end());
    args.push_back(dir.path());
    pid_t child = vqtest::StartTool(args, io.Join("out"), io.Join("err"));
    vqtest::WaitForLines(io.Join("out"), 1);
    for (const std::string& name : c.after) write(name);
    vqtest::WaitForLines(io.Join("out"), c.shown.size());
    ASSERT_EQ(std::remove(dir.Join(c.deleted).c_str()), 0);
    for (int i = 0; i < 100 && vqtest::ReadFileBytes(io.Join("err")).find("deleted") == std::string::npos; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));  // a scan more: nothing else joins
    kill(child, SIGTERM);
    EXPECT_EQ(vqtest::WaitBounded(child, 5), 0);
    std::string out, err;
    for (const std::string& name : c.shown) {
      out += Json(dir.Join(name), name.substr(0, 1), std::stoi(name.substr(2, 1)), "2026-01-01T00:00:01.000",
                  name.substr(0, 3), 2);
    }
    for (const std::string& name : c.joined) err += "vqlog: following " + dir.Join(name) + ", a new log\n";
    err += "vqlog: " + dir.Join(c.deleted) + " was deleted; no longer following it\n";
    EXPECT_EQ(vqtest::ReadFileBytes(io.Join("out")), out) << c.deleted;
    EXPECT_EQ(vqtest::ReadFileBytes(io.Join("err")), err) << c.deleted;
  }
}

TEST(VqlogSelectionTest, SelectorValuesAreChecked) {
  vqtest::ScratchDir empty, logs;
  const std::string log = logs.Join("app_7_2026-1-1-0-0-0_runtime.log");
  vqtest::WriteFileBytes(log, kHeader + Line("2026-1-1 0:0:1.0", "m"));
  const std::string last = "--last: expected a whole number from 1 to 1000000000\nRun with --help for more information.\n";
  const std::string pid = "--pid: expected a whole number from 0 to 4294967295\nRun with --help for more information.\n";
  const struct {
    std::vector<std::string> args;
    Expected want;
  } kCases[] = {
      {{"show", "--last", "0", logs.path()}, {105, "", last}},
      {{"show", "--last", "-1", logs.path()}, {105, "", last}},
      {{"ls", "--last", "abc", logs.path()}, {105, "", last}},
      {{"show", "--last", "99999999999999999999", logs.path()}, {105, "", last}},
      {{"show", "--pid", "-5", logs.path()}, {105, "", pid}},
      {{"ls", "--pid", "4294967296", logs.path()}, {105, "", pid}},
      {{"show", "--json", "--last", "1000000000", "--pid", "7", logs.path()},
       {0, Json(log, "app", 7, "2026-01-01T00:00:01.000", "m", 2), ""}},
      {{"show", empty.path()}, {3, "", "vqlog: no log to show\n"}},
      {{"ls", empty.path()}, {3, "", "vqlog: no log to list\n"}},
      {{"ls", "--pid", "8", logs.path()}, {3, "", "vqlog: no log to list\n"}},
  };
  for (const auto& c : kCases) Check(c.args, c.want);
}

}  // namespace
