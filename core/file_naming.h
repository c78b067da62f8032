// Log file naming and directory creation.
//
// A log file is <directory><sep><exe base name>_<pid>_<Y-M-D-h-m-s><suffix>,
// for example /var/log/app/tool.main_1234_2026-12-7-9-5-3_runtime.log.
#ifndef VQLOGGER_CORE_FILE_NAMING_H_
#define VQLOGGER_CORE_FILE_NAMING_H_

#include <cstddef>

namespace vqlogger {

// Creates `path` and every missing parent. True when the path already
// existed (as a file or a directory) or was created by this call; false for
// a null, empty or over-long (260 bytes or more) path, a probe error other
// than "not found", a missing path with no separator, or a failed creation,
// including a final creation that finds the directory already there (a
// path ending in a separator). Parents created before a failure stay.
bool MakeDirectoryPath(const char* path);

// The host executable's file name without its directory and last extension,
// into `out` (capacity bytes, cut to fit).
//   "/opt/tools/tool.main.exe" => "tool.main";  "C:\\bin\\app" => "app"
size_t ExecutableBaseName(const char* path, char* out, size_t capacity);

// Composes directory + separator (unless it already ends with one) + base +
// process tag + time text + suffix into `out` (kPathCapacity bytes). Returns
// false, leaving `out` unspecified, when the name part (base, tag, time) is
// longer than 260 characters or the whole path would not fit.
bool ComposeLogPath(const char* directory, const char* base, const char* process_tag,
                    const char* time_text, const char* suffix, char* out);

}  // namespace vqlogger

#endif  // VQLOGGER_CORE_FILE_NAMING_H_
