// Finding log files: a log's name tells which executable and process wrote
// it and when the process opened it, so directories are listed and logs
// selected without opening them.
#ifndef VQLOG_LOG_DISCOVERY_H_
#define VQLOG_LOG_DISCOVERY_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace vqlog {

struct LogFileName {              // <exe>_<pid>_<Y>-<M>-<D>-<h>-<m>-<s>_runtime.log | _assert.log (exe may hold '_')
  std::string exe;
  int64_t pid = 0;
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;   // start time, local, from the name
  bool assert_log = false;
};
std::optional<LogFileName> ParseLogFileName(std::string_view base_name);

struct LogSelection {
  std::vector<std::string> operands;          // FILE/DIR arguments; empty: the default directories; "-": standard input
  std::optional<std::string> exe;             // --exe
  std::optional<int64_t> pid;                 // --pid
  std::optional<size_t> last;                 // --last N: the N most recently started processes
  std::optional<std::string> host = std::nullopt;  // --host NAME: only store records of that host or peer
};

struct LogSource {
  std::string path;                           // as to be opened ("-" for standard input)
  std::optional<LogFileName> name;            // when the base name follows the pattern
  bool from_directory = false;                // found in a directory scan: read only if a regular file
  bool store = false;                         // a central store file (*.jsonl): its lanes are selected inside
};

// A central store file is named "*.jsonl"; the *.jsonl regular files of a DIR named in `operands` are store files
// too (not those of the default directories). --exe, --pid and
// --host select inside a store (by its records' keys); --last does not, and skips store files with a note; --host
// skips log files (they name no host), with a note. Store files come after the logs with a name, in the order given.
// Expands directories to their *_runtime.log and *_assert.log regular files (skipping, with a note, names that do
// not follow the pattern and entries that are not regular files), keeps explicitly named files whatever their name,
// applies the selectors, and writes one
// note line per skipped or unreadable entry to `notes`. Order: by start time, then pid, then runtime before assert.
// Sources whose name does not follow the pattern (standard input included) come last, in the order given; the
// name selectors (--exe, --pid, --last) cannot place them and skip them with a note.
std::vector<LogSource> SelectLogs(const LogSelection& selection, std::ostream& notes);

// Where the library would have put this user's logs: by its rules for LOGGING_DIR when that is set (also when
// empty), else the temporary directory.
std::vector<std::string> DefaultLogDirectories();

// Seconds since 1970-01-01 of a local start time read as if it were UTC: a
// number that orders start times and measures the seconds between them.
int64_t StartSeconds(const LogFileName& name);
// "2026-12-08T09:05:03"
std::string StartIso(const LogFileName& name);

// One process's logs: its runtime log, its assert log, or both. The assert
// log is opened just after the runtime log, so its name may show a start a
// little later.
struct ProcessLogs {
  std::optional<LogSource> runtime;
  std::optional<LogSource> assert_log;
  const LogFileName& name() const { return runtime ? *runtime->name : *assert_log->name; }
};
// Pairs the sources whose names follow the pattern by directory, exe, pid
// and start; sources without such a name are left out. Ordered like
// SelectLogs.
std::vector<ProcessLogs> GroupByProcess(const std::vector<LogSource>& sources);

// The note lines of `text` not in `printed`, which takes them in: a scan
// repeated while following says each skipped entry once.
std::string NewNoteLines(const std::string& text, std::set<std::string>& printed);

}  // namespace vqlog

#endif  // VQLOG_LOG_DISCOVERY_H_
