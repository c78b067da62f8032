// Helpers shared by the test suites: scratch directories, whole-file reads,
// finding this process's log files, and normalising the two columns of a
// record that change from run to run (time stamp and thread id) so tests
// can compare whole lines.
#ifndef VQLOGGER_TESTS_SUPPORT_TEST_SUPPORT_H_
#define VQLOGGER_TESTS_SUPPORT_TEST_SUPPORT_H_

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
// The directory the library falls back to (ends with a separator).
std::string LibraryTempDirectory();

// This process's log files in `dir` whose names end with `suffix`
// ("_runtime.log" or "_assert.log"), full paths, sorted.
std::vector<std::string> FindLogFiles(const std::string& dir, const std::string& suffix);

// The one runtime / assert file of this process in `dir`; adds a test
// failure and returns "" unless there is exactly one.
std::string RuntimeLogIn(const std::string& dir);
std::string AssertLogIn(const std::string& dir);

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

}  // namespace vqtest

#endif  // VQLOGGER_TESTS_SUPPORT_TEST_SUPPORT_H_
