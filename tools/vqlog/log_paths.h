// Where the library put this process's log files. No export says so, and
// LOGGING_DIR beats the directory the host passes, so the files are looked
// for by the executable's base name and the process id in every directory
// the library could have chosen.
#ifndef VQLOG_LOG_PATHS_H_
#define VQLOG_LOG_PATHS_H_

#include <string>
#include <vector>

namespace vqlog {

// The library's fallback directory: $TMPDIR when non-empty and shorter than
// 259 bytes, else /tmp.
std::string TempDirectory();
// This program's file name without directory and extension.
std::string ExecutableBaseName();
// LOGGING_DIR (when non-empty), `host_dir` (when non-empty), the temporary
// directory.
std::vector<std::string> CandidateDirectories(const std::string& host_dir);
// The newest file named "<base>_<pid>_*<suffix>" in `dirs`, or "".
std::string FindNewestLog(const std::vector<std::string>& dirs, const std::string& base, long pid,
                          const std::string& suffix);
// This process's newest log with `suffix` ("_runtime.log", "_assert.log").
std::string FindOwnLog(const std::string& host_dir, const std::string& suffix);

}  // namespace vqlog

#endif  // VQLOG_LOG_PATHS_H_
