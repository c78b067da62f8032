// Helpers shared by the test suites: scratch directories, whole-file reads,
// finding this process's log files, and normalising the two columns of a
// record that change from run to run (time stamp and thread id) so tests
// can compare whole lines.
#ifndef VQLOGGER_TESTS_SUPPORT_TEST_SUPPORT_H_
#define VQLOGGER_TESTS_SUPPORT_TEST_SUPPORT_H_

#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace vqtest {

// The first line of each log file: byte-order mark, header, CR LF.
extern const char kRuntimeFirstLine[];
extern const char kAssertFirstLine[];

// A fresh, empty directory under the system's temporary directory, removed
// with everything in it when the object goes away.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
  // path() + separator + name (name may contain '/', turned into the native
  // separator).
  std::string Join(const std::string& name) const;

 private:
  std::string path_;
};

char Separator();
std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);
bool PathExists(const std::string& path);

void SetEnv(const char* name, const char* value);
void UnsetEnv(const char* name);

int CurrentPid();
int CurrentTid();
// This test program's file name without directory and extension.
std::string ExeBaseName();

// Seconds of the precise real-time clock, as the library reads it.
// std::time may run a clock tick behind it, so a bracket taken with
// std::time can end a second before a stamp the library wrote inside it.
std::time_t PreciseNow();
// The directory the library falls back to (ends with a separator).
std::string LibraryTempDirectory();

// This process's log files in `dir` whose names end with `suffix`
// ("_runtime.log" or "_assert.log"), full paths, sorted.
std::vector<std::string> FindLogFiles(const std::string& dir, const std::string& suffix,
                                      int pid = CurrentPid());

// The one runtime / assert file of this process in `dir`; adds a test
// failure and returns "" unless there is exactly one.
std::string RuntimeLogIn(const std::string& dir, int pid = CurrentPid());
std::string AssertLogIn(const std::string& dir, int pid = CurrentPid());

// Splits file content into lines, each keeping its "\r\n" (or "\n"); a last
// piece without a line end is kept as it is.
std::vector<std::string> SplitLines(const std::string& content);

// The record lines of a log file: its lines after the first (the header),
// after checking that the file starts with `first_line`.
std::vector<std::string> RecordLines(const std::string& path, const std::string& first_line);

// Replaces a well-formed time stamp at the start of `line` by "<TS>" and,
// when the second column is this thread's id, that column by "<TID>". A
// malformed time stamp is left as it is, so the comparison fails.
//   "2026-12-7 9:5:3.250\t2412\tx\r\n" => "<TS>\t<TID>\tx\r\n"
std::string Normalize(const std::string& line);

// True for "%d-%d-%d %d:%d:%d.%d" numbers without leading zeros.
bool IsWellFormedTimestamp(const std::string& text);

// A line's time stamp (its text up to the first tab) as one number that
// keeps their order; -1 when it is not one.
long long TimestampOrder(const std::string& line);

// Normalize applied to every line of `text` (as SplitLines cuts it), joined
// again: "2026-12-7 9:5:3.250\t<tid>\tx\r\nc\r\n" => "<TS>\t<TID>\tx\r\nc\r\n".
std::string NormalizeLines(const std::string& text);

// Like NormalizeLines, but masks the thread id column of every record line,
// whichever thread or process wrote it:
//   "2026-12-7 9:5:3.250\t77\tx\r\n" => "<TS>\t<TID>\tx\r\n".
std::string MaskThreadIds(const std::string& text);

// Follows a log file: Added() returns what the file gained since the last
// call (or since construction), normalised line by line.
class LogFollower {
 public:
  LogFollower() = default;
  explicit LogFollower(const std::string& path);
  std::string Added();

 private:
  std::string path_;
  size_t seen_ = 0;
};

// The record lines of this process's runtime log in `dir`, each normalised.
std::vector<std::string> NormalizedRuntimeLines(const std::string& dir);

// The last line of a file (with its line end), read from the file's end, so
// it costs the same however long the file has grown.
std::string LastLine(const std::string& path);

// Runs probe(), candidate(), probe() in a row until the two probe lines
// added to the log file at `path` carry the same time stamp, so that any
// line the candidate wrote in between carries it too (a line's length
// depends on its time stamp). Returns the lines that steady run added;
// returns nothing, with a test failure, when no run in `attempts` is steady.
std::vector<std::string> AddedWithinOneTimestamp(const std::string& path,
                                                 const std::function<void()>& probe,
                                                 const std::function<void()>& candidate,
                                                 int attempts = 2000);

// Points the library's fallback directory at `dir`: TMPDIR on POSIX, TMP and
// TEMP on Windows (GetTempPathA reads them).
void UseAsTempDirectory(const std::string& dir);

// Removes LOGGING_ENABLED_RUNTIME, LOGGING_ENABLED_ASSERT and LOGGING_DIR
// from the environment.
void ClearLoggerVariables();

// The full paths this process's log file with `suffix` gets in `dir` when it
// is opened at any whole second from now to now + `seconds`, oldest first:
//   "<dir><sep><exe base>_<pid>_<Y-M-D-h-m-s><suffix>".
std::vector<std::string> PredictedLogPaths(const std::string& dir, const std::string& suffix,
                                           int seconds);

// The record lines of a log file (see RecordLines), each normalised, joined.
std::string NormalizedRecords(const std::string& path, const std::string& first_line);

// The narrow code page: GetACP() on Windows, 0 on POSIX (narrow text is
// UTF-8 there).
unsigned AnsiCodePage();

#ifndef _WIN32
// POSIX: lowers the process's file-size limit (RLIMIT_FSIZE) for as long as
// it lives, so writes past it fail as on a full disk (with SIGXFSZ ignored:
// a write cut short part-way, then EFBIG). The old limit comes back on Lift
// and at destruction.
class FileSizeLimit {
 public:
  FileSizeLimit();
  ~FileSizeLimit();
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;
  bool Set(size_t bytes);
  bool Lift();

 private:
  unsigned long long saved_current_;
};
#endif

// The outcome of a child process run by RunInChild.
struct ChildOutcome {
  bool exited = false;     // ended by exit/_exit; exit_code is valid
  int exit_code = -1;
  int signal = 0;          // ended by this signal (0: none)
  int pid = 0;             // the child's process id
  bool timed_out = false;  // still running at the bound; killed
  // "exit 0", "signal 6", "hung (killed after 2000 ms)".
  std::string Describe() const;
};

// POSIX only: forks; the child runs body() and ends with _exit() of its
// result (body may also end the process itself, e.g. by exit()). The parent
// polls for the child for at most `timeout_ms`, then kills it (SIGKILL), so a
// hang is a result and not a stuck test.
ChildOutcome RunInChild(const std::function<int()>& body, int timeout_ms);

// Runs fn() on a new thread whose whole stack is `stack_bytes` long and
// waits for it. Returns the deepest stack use seen, in bytes: on POSIX the
// stack is painted before the run and scanned after it (this includes what
// the thread library itself keeps there); on Windows 0 (not measured).
// Returns -1 when the thread cannot be started.
long RunOnSmallStack(size_t stack_bytes, const std::function<void()>& fn);

}  // namespace vqtest

// Skips a test whose expected bytes assume the default narrow text of the
// test runs: code page 1252 on Windows (wine's default), UTF-8 on POSIX.
#define VQTEST_REQUIRE_DEFAULT_NARROW_TEXT()                                       \
  do {                                                                             \
    if (vqtest::AnsiCodePage() != 0 && vqtest::AnsiCodePage() != 1252) {           \
      GTEST_SKIP() << "expects code page 1252, this process has "                \
                   << vqtest::AnsiCodePage();                                      \
    }                                                                              \
  } while (0)

#endif  // VQLOGGER_TESTS_SUPPORT_TEST_SUPPORT_H_
