// `vqlog show` as a stream reader, on logs this process writes through the
// library: pipes and FIFOs, signals, following a file that changes, input the
// library never writes, many logs at once, and the table on a terminal.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <vqlogger.h>

#include "tool_test_support.h"

namespace {

using nlohmann::json;

const std::string kRuntimeHeader = "\xEF\xBB\xBFTIMESTAMP\tTHREAD_ID\tFILENAME\tLINE_NUMBER\tLOGGED_DATA\tLEVEL\r\n";
const std::string kAssertHeader = "\xEF\xBB\xBFTIMESTAMP\tTHREAD_ID\tFILENAME\tLINE_NUMBER\tEXPRESSION\r\n";

struct Logs {
  std::string runtime, assert_log;
};

Logs StartLogging(const vqtest::ScratchDir& dir) {
  vqtest::ClearLoggerVariables();
  char flag = 0;
  EXPECT_TRUE(InitializeLogger(&flag, 0, dir.path().c_str()));
  return {vqtest::RuntimeLogIn(dir.path()), vqtest::AssertLogIn(dir.path())};
}

// The log's record lines as the library wrote them, CR LF included.
std::vector<std::string> LinesOf(const std::string& path) {
  std::vector<std::string> lines = vqtest::SplitLines(vqtest::ReadFileBytes(path));
  if (!lines.empty()) lines.erase(lines.begin());
  return lines;
}

// A record line with its time stamp replaced.
std::string WithTime(const std::string& line, const std::string& time) { return time + line.substr(line.find('\t')); }

std::vector<json> ParseLines(const std::string& out) {
  std::vector<json> records;
  for (const std::string& line : vqtest::SplitLines(out)) records.push_back(json::parse(line));
  return records;
}

// What a record says apart from where it was read from.
std::vector<json> WithoutSource(std::vector<json> records) {
  for (json& r : records) {
    r.erase("log");
    r.erase("exe");
    r.erase("pid");
  }
  return records;
}

// Polls `path` until it holds `n` lines (bounded), then returns them.
std::vector<std::string> WaitForLines(const std::string& path, size_t n) {
  for (int i = 0; i < 500; ++i) {
    std::vector<std::string> lines = vqtest::SplitLines(vqtest::ReadFileBytes(path));
    if (lines.size() >= n) return lines;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return vqtest::SplitLines(vqtest::ReadFileBytes(path));
}

// Starts `vqlog args...` with standard output and error to files.
pid_t StartTool(const std::vector<std::string>& args, const std::string& out, const std::string& err) {
  pid_t child = fork();
  if (child == 0) {
    if (!freopen(out.c_str(), "w", stdout) || !freopen(err.c_str(), "w", stderr)) _exit(127);
    std::vector<char*> argv = {const_cast<char*>(VQLOG_PATH)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(VQLOG_PATH, argv.data());
    _exit(127);
  }
  return child;
}

// Waits for `child` at most `seconds`; -1 (after SIGKILL) when it did not end.
int WaitBounded(pid_t child, int seconds) {
  for (int i = 0; i < seconds * 50; ++i) {
    int status = 0;
    if (waitpid(child, &status, WNOHANG) == child) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  return -1;
}

TEST(VqlogStreamTest, StreamsAreReadLikeTheFile) {
  vqtest::ScratchDir dir;
  Logs logs = StartLogging(dir);
  RuntimeInfoToLogfileA("s.c", 1, "first", 1);
  RuntimeInfoToLogfileA("s.c", 2, "second", 2);
  vqtest::ToolRun file = vqtest::RunProgram(VQLOG_PATH, {"show", "--json", logs.runtime});
  ASSERT_EQ(file.status, 0) << file.err;
  const std::vector<json> expected = WithoutSource(ParseLines(file.out));
  ASSERT_EQ(expected.size(), 2u);

  const std::string tool = vqtest::ShellQuote(VQLOG_PATH), log = vqtest::ShellQuote(logs.runtime),
                    fifo = vqtest::ShellQuote(dir.Join("fifo"));
  struct Case {
    const char* name;
    std::string script;
  };
  const Case cases[] = {
      {"- for standard input", tool + " show --json - <" + log},
      {"/dev/stdin from a pipe", "cat " + log + " | " + tool + " show --json /dev/stdin"},
      {"process substitution", tool + " show --json <(cat " + log + ")"},
      {"a FIFO", "rm -f " + fifo + "; mkfifo " + fifo + " && { cat " + log + " >" + fifo + " & " + tool +
                     " show --json " + fifo + "; }"},
  };
  for (const Case& c : cases) {
    vqtest::ToolRun run = vqtest::RunProgram("bash", {"-c", c.script});
    EXPECT_EQ(run.status, 0) << c.name << ": " << run.err;
    EXPECT_EQ(run.err, "") << c.name;
    EXPECT_EQ(WithoutSource(ParseLines(run.out)), expected) << c.name;
  }
}

TEST(VqlogStreamTest, SignalsEndABlockedOpen) {
  vqtest::ScratchDir dir;
  const std::string fifo = dir.Join("no-writer");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (int signal_number : {SIGINT, SIGTERM}) {
    pid_t child = StartTool({"show", fifo}, dir.Join("out"), dir.Join("err"));
    // Signal it once it waits in the open (its handlers are in place then).
    const std::string in_open = std::to_string(SYS_openat) + " ";
    bool waiting = false;
    for (int i = 0; i < 500 && !waiting; ++i) {
      waiting = vqtest::ReadFileBytes("/proc/" + std::to_string(child) + "/syscall").rfind(in_open, 0) == 0;
      if (!waiting) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(waiting) << "signal " << signal_number;
    kill(child, signal_number);
    EXPECT_EQ(WaitBounded(child, 5), 130) << "signal " << signal_number;
    EXPECT_EQ(vqtest::ReadFileBytes(dir.Join("err")), "vqlog: cannot open " + fifo + ": interrupted\n");
  }
}

TEST(VqlogStreamTest, FollowNoticesAFileThatChanges) {
  vqtest::ScratchDir dir;
  Logs logs = StartLogging(dir);
  for (int i = 1; i <= 5; ++i) RuntimeInfoToLogfileA("f.c", i, ("record " + std::to_string(i)).c_str(), i);
  AssertToLogfile("f.c", 9, "part one\r\nsecond part");
  const std::vector<std::string> rt = LinesOf(logs.runtime), as = LinesOf(logs.assert_log);
  ASSERT_EQ(rt.size(), 5u);
  ASSERT_EQ(as.size(), 2u);  // the expression's CR LF splits its line
  const std::string followed = dir.Join("tool_7_2026-1-1-0-0-0_runtime.log");
  const std::string followed_assert = dir.Join("tool_7_2026-1-1-0-0-0_assert.log");

  struct Case {
    const char* name;
    std::string path, first, then;  // first content, then the change
    bool replace;                   // rename a new file over it, or rewrite it in place
    std::vector<std::string> texts;
    std::string note;
  };
  const Case cases[] = {
      {"an expression going on in a later poll", followed_assert, kAssertHeader, as[0] + "|" + as[1], false,
       {"part one\r\nsecond part"}, ""},
      {"truncated and written again past the old offset", followed, kRuntimeHeader + rt[0],
       kRuntimeHeader + rt[1] + rt[2] + rt[3], false, {"record 1", "record 2", "record 3", "record 4"},
       "vqlog: " + followed + " was truncated; reading it again from the start\n"},
      {"replaced by a larger file", followed, kRuntimeHeader + rt[0], kRuntimeHeader + rt[3] + rt[4] + rt[1], true,
       {"record 1", "record 4", "record 5", "record 2"},
       "vqlog: " + followed + " was replaced; reading the new file from the start\n"},
  };
  for (const Case& c : cases) {
    vqtest::WriteFileBytes(c.path, c.first);
    const std::string out = dir.Join(std::string("follow.out.") + c.name), err = dir.Join(std::string("follow.err.") + c.name);
    pid_t child = StartTool({"show", "--json", "--follow", c.path}, out, err);
    if (c.then.rfind("\xEF", 0) == 0) {
      EXPECT_EQ(WaitForLines(out, 1).size(), 1u) << c.name;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      if (c.replace) {
        vqtest::WriteFileBytes(c.path + ".new", c.then);
        ASSERT_EQ(std::rename((c.path + ".new").c_str(), c.path.c_str()), 0);
      } else {
        vqtest::WriteFileBytes(c.path, c.then);
      }
    } else {
      // The record's second line comes a poll or so after its first.
      size_t bar = c.then.find('|');
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      vqtest::WriteFileBytes(c.path, c.first + c.then.substr(0, bar));
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
      vqtest::WriteFileBytes(c.path, c.first + c.then.substr(0, bar) + c.then.substr(bar + 1));
    }
    std::vector<std::string> lines = WaitForLines(out, c.texts.size());
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // nothing more may come
    lines = vqtest::SplitLines(vqtest::ReadFileBytes(out));
    kill(child, SIGTERM);
    EXPECT_EQ(WaitBounded(child, 5), 0) << c.name;
    std::vector<std::string> texts;
    for (const json& r : ParseLines(vqtest::ReadFileBytes(out))) {
      texts.push_back(r.value("message", r.value("expression", r.value("text", ""))));
    }
    EXPECT_EQ(texts, c.texts) << c.name;
    EXPECT_EQ(vqtest::ReadFileBytes(err), c.note) << c.name;
  }
}

TEST(VqlogStreamTest, InputTheLibraryNeverWritesIsShownAndCounted) {
  vqtest::ScratchDir dir;
  Logs logs = StartLogging(dir);
  RuntimeInfoToLogfileA("b.c", 1, "good", 1);
  const std::string good = LinesOf(logs.runtime)[0];
  const std::string whole = vqtest::ReadFileBytes(logs.runtime);
  const std::string bad = dir.Join("x_1_2026-1-1-0-0-0_runtime.log");
  const std::string missing = dir.Join("gone_2_2026-1-1-0-0-0_runtime.log");

  struct Case {
    const char* name;
    std::string bytes;               // the file, or a shell command that writes it to $BAD
    std::vector<std::string> kinds;  // of the records shown from `bad`
    std::string err;
    int status;
    std::string first_text;  // "text" of the first unparsed record, when there is one
  };
  const std::string n = "vqlog: " + bad + ": ";
  vqtest::WriteFileBytes(dir.Join("header"), kRuntimeHeader);
  vqtest::WriteFileBytes(dir.Join("record"), good);
  const Case cases[] = {
      // First, while no child has copied a large test process: its peak
      // memory is the tool's own.
      {"a 100 MB line",
       "{ cat " + vqtest::ShellQuote(dir.Join("header")) + "; head -c 100000000 /dev/zero | tr '\\0' x; " +
           "printf '\\r\\n'; cat " + vqtest::ShellQuote(dir.Join("record")) + "; } >\"$BAD\"",
       {"unparsed", "runtime"},
       n + "1 line not in the log format, shown as unparsed\n" + n + "1 line longer than 65536 bytes, cut\n", 0,
       std::string(65536, 'x')},
      {"binary garbage and bytes that are not UTF-8", whole + std::string("\x00\x01\xFF\xFEz\x9B\r\n", 8),
       {"runtime", "unparsed"}, n + "1 line not in the log format, shown as unparsed\n", 0,
       std::string("\x00\x01\xEF\xBF\xBD\xEF\xBF\xBDz\xEF\xBF\xBD", 12)},
      {"no byte-order mark and no header", good + good, {"runtime", "runtime"}, n + "no header line\n", 0, ""},
      {"a last line cut short", whole + good.substr(0, good.size() - 6), {"runtime", "unparsed"},
       n + "1 line not in the log format, shown as unparsed\n" + n +
           "the last line has no line end (cut short, or still being written)\n",
       0, good.substr(0, good.size() - 6)},
  };
  bool first = true;
  for (const Case& c : cases) {
    vqtest::ToolRun run;
    if (first) {
      run = vqtest::RunProgram("bash", {"-c", "BAD=" + vqtest::ShellQuote(bad) + "; " + c.bytes + " && exec " +
                                                  vqtest::ShellQuote(VQLOG_PATH) + " show --json \"$BAD\""});
      // A 100 MB line costs no 100 MB: at most a bounded part of it is held.
      struct rusage usage;
      getrusage(RUSAGE_CHILDREN, &usage);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
      EXPECT_LT(usage.ru_maxrss, 64 * 1024) << "KB";
#endif
      first = false;
    } else {
      vqtest::WriteFileBytes(bad, c.bytes);
      run = vqtest::RunProgram(VQLOG_PATH, {"show", "--json", bad});
    }
    EXPECT_EQ(run.status, c.status) << c.name;
    EXPECT_EQ(run.err, c.err) << c.name;
    std::vector<std::string> kinds;
    std::string first_text;
    for (const json& r : ParseLines(run.out)) {
      kinds.push_back(r["kind"]);
      if (r["kind"] == "unparsed" && first_text.empty()) first_text = r["text"];
    }
    EXPECT_EQ(kinds, c.kinds) << c.name;
    EXPECT_EQ(first_text, c.first_text) << c.name;
  }
  // A file that cannot be opened is named, and the others are shown.
  vqtest::ToolRun run = vqtest::RunProgram(VQLOG_PATH, {"show", "--json", missing, logs.runtime});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "vqlog: cannot open " + missing + ": No such file or directory\n");
  EXPECT_EQ(ParseLines(run.out).size(), 1u);
}

TEST(VqlogStreamTest, MergeKeepsEachLogsOrderAcrossManyLogs) {
  vqtest::ScratchDir dir;
  Logs logs = StartLogging(dir);
  RuntimeInfoToLogfileA("m.c", 1, "r", 1);
  AssertToLogfile("m.c", 2, "a");
  const std::string rt = LinesOf(logs.runtime)[0], as = LinesOf(logs.assert_log)[0];
  // Record i of a log is "<log>.<i>"; times in seconds of one minute.
  auto runtime_line = [&](int second, const std::string& text) {
    std::string line = WithTime(rt, "2026-3-1 10:0:" + std::to_string(second) + ".0");
    size_t level_tab = line.rfind('\t');
    size_t text_tab = line.rfind('\t', level_tab - 1);
    return line.substr(0, text_tab + 1) + text + line.substr(level_tab);
  };
  auto assert_line = [&](int second, const std::string& text) {
    std::string line = WithTime(as, "2026-3-1 10:0:" + std::to_string(second) + ".0");
    return line.substr(0, line.rfind('\t') + 1) + text + "\r\n";
  };
  struct Case {
    const char* name;
    std::vector<std::vector<int>> seconds;  // per process: its runtime records' times; assert log: one record
    std::vector<std::string> order;
  };
  const Case cases[] = {
      {"a clock that steps back keeps its log's order", {{5, 3, 7}, {4, 6}}, {}},
      {"more logs than are kept open", {}, {}},
  };
  for (const Case& c : cases) {
    vqtest::ScratchDir logs_dir;
    std::vector<std::vector<int>> seconds = c.seconds;
    if (seconds.empty()) {
      // 100 processes, one record each, started in reverse order of their
      // records: every log is opened, closed and opened again.
      for (int p = 0; p < 100; ++p) seconds.push_back({59 - p / 2});
    }
    std::vector<std::pair<int, std::string>> all;  // time, text: the expected order after a stable sort
    for (size_t p = 0; p < seconds.size(); ++p) {
      std::string name = logs_dir.Join("app_" + std::to_string(100 + p) + "_2026-3-1-10-0-0");
      std::string runtime = kRuntimeHeader;
      for (size_t i = 0; i < seconds[p].size(); ++i) {
        std::string text = std::to_string(p) + "." + std::to_string(i);
        runtime += runtime_line(seconds[p][i], text);
      }
      vqtest::WriteFileBytes(name + "_runtime.log", runtime);
      vqtest::WriteFileBytes(name + "_assert.log", kAssertHeader + assert_line(seconds[p][0], std::to_string(p) + ".a"));
    }
    vqtest::ToolRun run = vqtest::RunProgram(VQLOG_PATH, {"show", "--json", logs_dir.path()});
    ASSERT_EQ(run.status, 0) << c.name << ": " << run.err;
    std::vector<std::string> texts, times;
    for (const json& r : ParseLines(run.out)) {
      texts.push_back(r.value("message", r.value("expression", "")));
      times.push_back(r["time"]);
    }
    if (std::string(c.name).find("steps back") != std::string::npos) {
      // Logs in the selection's order: 0 runtime (5 3 7), 0 assert (5), 1
      // runtime (4 6), 1 assert (4). 0.1 steps back to 3 and comes right
      // after 0.0; ties go to the earlier log.
      EXPECT_EQ(texts, (std::vector<std::string>{"1.0", "1.a", "0.0", "0.1", "0.a", "1.1", "0.2"})) << c.name;
    } else {
      EXPECT_EQ(texts.size(), 200u) << c.name;
      EXPECT_TRUE(std::is_sorted(times.begin(), times.end())) << c.name;
      // Each process's runtime record comes before its assert record.
      for (size_t i = 0; i + 1 < texts.size(); i += 2) {
        EXPECT_EQ(texts[i].substr(0, texts[i].find('.')), texts[i + 1].substr(0, texts[i + 1].find('.'))) << i;
      }
    }
  }
}

TEST(VqlogStreamTest, TableMakesTextSafeAndMeasuresCharacters) {
  vqtest::ScratchDir dir;
  Logs logs = StartLogging(dir);
  auto u_umlauts = [](int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += "\xC3\xBC";  // two bytes, one column
    return s;
  };
  RuntimeInfoToLogfileA("\xE6\x97\xA5.c", 1, "C1 \xC2\x9B and bidi \xE2\x80\xAE and isolate \xE2\x81\xA6 end", 1);
  RuntimeInfoToLogfileA((u_umlauts(40) + "/s.c").c_str(), 22, "wide \xE6\x97\xA5\xE6\x9C\xAC", 2);
  vqtest::WriteFileBytes(logs.runtime, vqtest::ReadFileBytes(logs.runtime) + "raw \x9B byte\r\n");
  vqtest::ToolRun run = vqtest::RunProgram(VQLOG_PATH, {"show", logs.runtime});
  ASSERT_EQ(run.status, 0) << run.err;
  std::vector<std::string> lines = vqtest::SplitLines(run.out);
  ASSERT_EQ(lines.size(), 4u) << run.out;
  std::string tid = std::to_string(vqtest::CurrentTid());
  size_t width = std::max<size_t>(6, tid.size());
  auto sp = [](size_t n) { return std::string(n, ' '); };
  const std::string thread = "  " + sp(width - tid.size()) + tid + "  ";
  // The source column is 40 columns: "..." and the last 37 columns of the
  // long name, whole characters; "日" takes two columns.
  EXPECT_EQ(lines[0], "TIME" + sp(21) + "THREAD" + sp(width - 4) + "SOURCE" + sp(37) + "LEVEL  TEXT\n");
  EXPECT_EQ(lines[1].substr(23), thread + "\xE6\x97\xA5.c:1" + sp(36) + sp(5) +
                                     "1  C1 \\u{009B} and bidi \\u{202E} and isolate \\u{2066} end\n");
  EXPECT_EQ(lines[2].substr(23),
            thread + "..." + u_umlauts(30) + "/s.c:22" + sp(2) + sp(5) + "2  wide \xE6\x97\xA5\xE6\x9C\xAC\n");
  EXPECT_EQ(lines[3], sp(23 + 2 + width + 2 + 40 + 2 + 5) + "?  raw \\x9B byte\n");
}

}  // namespace
