// Where the library put this process's log files, and what the tool does
// with a directory before it hands it to the library. No export says where
// the files went, and LOGGING_DIR beats the directory the host passes, so the
// files are looked for by the executable's base name and the process id in
// every directory the library could have chosen.
#ifndef VQLOG_LOG_PATHS_H_
#define VQLOG_LOG_PATHS_H_

#include <string>
#include <vector>

namespace vqlog {

// The library's fallback directory: $TMPDIR when non-empty and shorter than
// 259 bytes, else /tmp; on Windows what GetTempPath gives, without its
// trailing backslash (a drive root keeps it).
std::string TempDirectory();
// Where the library may have put logs while LOGGING_DIR held `dir`. It uses
// a directory of that name when one exists or it can create it, else the
// temporary directory; a name it cannot always create whole (relative, or
// ending in or doubling a separator) may have sent an earlier start to the
// temporary directory, so both are given then.
std::vector<std::string> LoggingDirCandidates(const std::string& dir);
// This program's file name without directory and extension.
std::string ExecutableBaseName();
// This process's id, as the library writes it into the log names.
long CurrentProcessId();
// LOGGING_DIR (when non-empty), `host_dir` (when non-empty), the temporary
// directory.
std::vector<std::string> CandidateDirectories(const std::string& host_dir);
// The newest file named "<base>_<pid>_*<suffix>" in `dirs`, or "".
std::string FindNewestLog(const std::vector<std::string>& dirs, const std::string& base, long pid,
                          const std::string& suffix);
// This process's newest log with `suffix` ("_runtime.log", "_assert.log").
std::string FindOwnLog(const std::string& host_dir, const std::string& suffix);

// `dir` as the library takes it at its word: absolute, with the platform's
// separator, "." and ".." resolved by name, and no doubled or trailing
// separator (a root keeps its own). The library sends a relative name
// without a separator, and a name ending in one, to the temporary directory.
// "" stays "".
std::string AbsoluteDirectory(const std::string& dir);
// Longest directory the library accepts; a longer one sends the logs to the
// temporary directory.
constexpr size_t kMaxDirectoryLength = 259;

// Why InitializeLogger failed, in one line, found by looking at the
// directory it was given (LOGGING_DIR beats `dir`, which `option` names, as
// "--dir" or "DIR") and at the temporary directory it falls back to.
std::string InitializeFailureReason(const std::string& option, const std::string& dir);

}  // namespace vqlog

#endif  // VQLOG_LOG_PATHS_H_
