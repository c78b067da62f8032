// `vqlog write` and `vqlog demo` as a person at a shell uses them: the
// directory named is the one written to, a failure says why, and input the
// library would change or drop without a trace is refused or reported.
#include <filesystem>
#include <string>
#include <vector>

#include "tool_test_support.h"

namespace {

namespace fs = std::filesystem;

// vqlog run by the shell from `cwd`, with TMPDIR at `temp`.
vqtest::ToolRun RunIn(const std::string& cwd, const std::string& temp, const std::vector<std::string>& args,
                      const std::string& input = "", const std::string& env = "") {
  std::string script = "cd " + vqtest::ShellQuote(cwd) + " && exec " + vqtest::ShellQuote(VQLOG_PATH);
  for (const std::string& arg : args) script += " " + vqtest::ShellQuote(arg);
  return vqtest::RunProgram("sh", {"-c", script}, input, "TMPDIR=" + vqtest::ShellQuote(temp) + " " + env);
}

// Every regular file under `root`, relative to it, sorted.
std::vector<std::string> FilesUnder(const std::string& root) {
  std::vector<std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) files.push_back(fs::relative(entry.path(), root).generic_string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

// "sub/dir/<exe>_<pid>_<time>_runtime.log" becomes "sub/dir/runtime".
std::vector<std::string> LogKinds(std::vector<std::string> files) {
  for (std::string& f : files) {
    size_t slash = f.rfind('/');
    std::string dir = slash == std::string::npos ? "" : f.substr(0, slash + 1);
    bool runtime = f.size() > 12 && f.compare(f.size() - 12, 12, "_runtime.log") == 0;
    bool assert_log = f.size() > 11 && f.compare(f.size() - 11, 11, "_assert.log") == 0;
    f = dir + (runtime ? "runtime" : assert_log ? "assert" : f.substr(dir.size()));
  }
  std::sort(files.begin(), files.end());
  return files;
}

TEST(VqlogDirectoryTest, LogsGoWhereTheUserPointed) {
  const struct {
    std::vector<std::string> args;
    std::string dir;  // relative to the working directory
  } kCases[] = {
      {{"write", "--dir", "logs", "m"}, "logs"},
      {{"write", "--dir", "new/sub", "m"}, "new/sub"},
      {{"write", "--dir", "dir/", "m"}, "dir"},
      {{"write", "--dir", "a//b", "m"}, "a/b"},
      {{"write", "--dir", "./x/../y/.", "m"}, "y"},
      {{"demo", "mydemo"}, "mydemo"},
      {{"demo", "deep/er/"}, "deep/er"},
  };
  for (const auto& c : kCases) {
    vqtest::ScratchDir cwd, temp;
    vqtest::ToolRun run = RunIn(cwd.path(), temp.path(), c.args);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(LogKinds(FilesUnder(cwd.path())), (std::vector<std::string>{c.dir + "/assert", c.dir + "/runtime"}))
        << c.args[2];
    EXPECT_EQ(FilesUnder(temp.path()), std::vector<std::string>{}) << c.args[2];
  }
}

TEST(VqlogDirectoryTest, AFailureSaysWhy) {
  vqtest::ScratchDir cwd, temp;
  vqtest::WriteFileBytes(cwd.Join("file"), "x");
  const std::string file = cwd.Join("file");
  fs::create_directory(cwd.Join("ro"));
  fs::permissions(cwd.Join("ro"), fs::perms::owner_read | fs::perms::owner_exec);
  // Root may write to a read-only directory: that case only counts for others.
  const bool root = geteuid() == 0;
  const struct {
    std::vector<std::string> args;
    std::string env;
    std::string err;  // "" for a case this user cannot see fail
  } kCases[] = {
      {{"write", "--dir", "file", "m"}, "", "vqlog: --dir names a regular file: " + file + "\n"},
      {{"write", "m"}, "LOGGING_DIR=" + vqtest::ShellQuote(file), "vqlog: LOGGING_DIR names a regular file: " + file + "\n"},
      {{"demo", "file"}, "", "vqlog: DIR names a regular file: " + file + "\n"},
      {{"write", "--dir", "ro", "m"}, "",
       root ? "" : "vqlog: --dir names a directory that is not writable: " + cwd.Join("ro") + "\n"},
  };
  for (const auto& c : kCases) {
    if (c.err.empty()) continue;
    vqtest::ToolRun run = RunIn(cwd.path(), temp.path(), c.args, "", c.env);
    EXPECT_EQ(run.status, 1) << c.err;
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(run.out, "");
  }
  fs::permissions(cwd.Join("ro"), fs::perms::owner_all);
}

TEST(VqlogDirectoryTest, InputTheLibraryWouldChangeIsRefusedOrReported) {
  const std::string long_expression(5100, 'x');
  const struct {
    std::vector<std::string> args;
    std::string input;
    int status;
    std::string err;
    std::vector<std::string> runtime, assert_records;  // records without time and thread
  } kCases[] = {
      {{"--source", "a\tb.c", "m"}, "", 105, "--source: must not hold a tab or a line feed\n"
                                            "Run with --help for more information.\n", {}, {}},
      {{"--source", "a\nb.c", "m"}, "", 105, "--source: must not hold a tab or a line feed\n"
                                            "Run with --help for more information.\n", {}, {}},
      {{"--hex"}, std::string("a\r\nb\0c\r\n", 8), 0, "", {"s.c\t1\t610D\t0", "s.c\t2\t6200630D\t0"}, {}},
      {{}, std::string("a\r\nb\0c\n", 7), 0,
       "vqlog: message 2 holds a NUL byte: the library takes the text before it (--hex writes every byte)\n",
       {"s.c\t1\ta\t0", "s.c\t2\tb\t0"}, {}},
      {{"--assert", "short", long_expression, "last"}, "", 0,
       "vqlog: expression 2 was not written: the library drops an assert record longer than a line (5095 bytes)\n",
       {}, {"s.c\t1\tshort", "s.c\t3\tlast"}},
  };
  for (const auto& c : kCases) {
    vqtest::ScratchDir dir;
    std::vector<std::string> args = {"write", "--dir", dir.path(), "--source", "s.c"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    vqtest::ToolRun run = vqtest::RunProgram(VQLOG_PATH, args, c.input);
    EXPECT_EQ(run.status, c.status) << c.err;
    EXPECT_EQ(run.err, c.err);
    if (c.status != 0) {
      EXPECT_TRUE(fs::is_empty(dir.path())) << "refused, yet logs were opened";
      continue;
    }
    EXPECT_EQ(vqtest::RecordsWithoutTimeAndThread(vqtest::OnlyFileEndingWith(dir.path(), "_runtime.log"),
                                                  vqtest::kRuntimeFirstLine),
              c.runtime);
    EXPECT_EQ(vqtest::RecordsWithoutTimeAndThread(vqtest::OnlyFileEndingWith(dir.path(), "_assert.log"),
                                                  vqtest::kAssertFirstLine),
              c.assert_records);
  }
}

// With no DIR, `ls` lists the runtime logs wherever the library put them
// under the same LOGGING_DIR ("@": the working directory) in two starts, the
// directory made between them or not.
TEST(VqlogDirectoryTest, WithoutADirectoryLsLooksWhereTheLibraryWrote) {
  const std::vector<std::pair<std::string, bool>> kCases = {
      {"logs", false}, {"logs", true}, {"new/sub", false}, {"@/new/", false}, {"@/a/b", false}, {"@/a//b", false},
      {"", false}};
  for (const auto& [dir, make_between] : kCases) {
    vqtest::ScratchDir cwd, temp;
    const std::string logs = vqtest::ShellQuote(dir.rfind('@', 0) == 0 ? cwd.path() + dir.substr(1) : dir);
    const std::string v = vqtest::ShellQuote(VQLOG_PATH), q = vqtest::ShellQuote(cwd.path());
    vqtest::ToolRun run = vqtest::RunProgram(
        "sh", {"-c", "cd " + q + " && " + v + " write m && " + (make_between ? "mkdir " + logs + " && " : "") + v +
                         " write m && " + v + " ls --json | sed 's/.*\"runtime_log\":\"\\([^\"]*\\)\".*/\\1/' | " +
                         "xargs realpath | sort && echo -- && find " + q + " \"$TMPDIR\" -name '*_runtime.log' | " +
                         "xargs realpath | sort"},
        "", "TMPDIR=" + vqtest::ShellQuote(temp.path()) + " LOGGING_DIR=" + logs);
    EXPECT_EQ(run.status, 0) << dir << ": " << run.err;
    const size_t cut = run.out.find("--\n");
    EXPECT_EQ(run.out.substr(0, cut), run.out.substr(cut + 3)) << dir;
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 5) << dir << ": " << run.out;
  }
}

TEST(VqlogDirectoryTest, PrintsItsVersion) {
  vqtest::ToolRun run = vqtest::RunProgram(VQLOG_PATH, {"--version"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "vqlog " VQLOG_VERSION "\n");
}

}  // namespace
