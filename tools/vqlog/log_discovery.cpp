#include "log_discovery.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <system_error>
#include <tuple>

#include "console.h"
#include "log_paths.h"

namespace vqlog {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kRuntimeSuffix = "_runtime.log";
constexpr std::string_view kAssertSuffix = "_assert.log";
constexpr std::string_view kStoreSuffix = ".jsonl";
// The assert log's name is taken just after the runtime log's; a process
// whose two names are further apart than this is not one process.
constexpr int64_t kPairWindowSeconds = 60;

bool EndsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// Decimal digits (at most nine, so the value fits an int) with no sign.
std::optional<int> SmallNumber(std::string_view text) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

// "%d" of a process id: an optional minus sign and up to ten digits.
std::optional<int64_t> ProcessId(std::string_view text) {
  bool negative = !text.empty() && text[0] == '-';
  if (negative) text.remove_prefix(1);
  if (text.empty() || text.size() > 10) return std::nullopt;
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return negative ? -value : value;
}

bool LeapYear(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int64_t year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && LeapYear(year) ? 29 : kDays[month - 1];
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2 ? 1 : 0;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

int64_t CivilSeconds(int64_t y, int mo, int d, int h, int mi, int s) {
  return DaysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s;
}

bool IsSeparator(char c) {
#ifdef _WIN32
  return c == '/' || c == '\\';
#else
  return c == '/';
#endif
}

// `dir` and a file name in it. On Windows a directory written with
// backslashes or a drive letter gets a backslash, any other a slash, which
// Windows takes as well: "logs" gives the same paths on every platform.
std::string JoinPath(const std::string& dir, const std::string& name) {
  if (!dir.empty() && IsSeparator(dir.back())) return dir + name;
#ifdef _WIN32
  const bool windows_form = dir.find('\\') != std::string::npos || (dir.size() >= 2 && dir[1] == ':');
  return dir + (windows_form ? '\\' : '/') + name;
#else
  return dir + '/' + name;
#endif
}

std::string BaseName(const std::string& path) {
  size_t end = path.size();
  size_t start = end;
  while (start > 0 && !IsSeparator(path[start - 1])) --start;
#ifdef _WIN32
  if (start == 0 && path.size() >= 2 && path[1] == ':') start = 2;  // "C:name"
#endif
  return path.substr(start, end - start);
}

// Orders named sources: start, pid, exe, runtime before assert, path.
bool NamedBefore(const LogSource& a, const LogSource& b) {
  // Only named sources are sorted; the test keeps GCC from seeing an empty
  // optional read in a Release build.
  if (!a.name || !b.name) return b.name.has_value() && !a.name.has_value();
  const LogFileName& x = *a.name;
  const LogFileName& y = *b.name;
  const int64_t x_start = StartSeconds(x), y_start = StartSeconds(y);
  return std::tie(x_start, x.pid, x.exe, x.assert_log, a.path) <
         std::tie(y_start, y.pid, y.exe, y.assert_log, b.path);
}

std::string DirectoryOf(const std::string& path) {
  std::string base = BaseName(path);
  return path.substr(0, path.size() - base.size());
}

// Adds a directory's log files to `out` (and its store files, with
// `stores`); false when it cannot be listed.
void ListDirectory(const std::string& dir, bool stores, std::vector<LogSource>& out, std::ostream& notes) {
  std::error_code ec;
  fs::directory_iterator it(fs::path(dir), ec), end;
  if (ec) {
    notes << "vqlog: cannot read directory " << TerminalSafe(dir) << ": " << TerminalSafe(ec.message()) << "\n";
    return;
  }
  for (; it != end; it.increment(ec)) {
    std::string name;
    try {
      name = it->path().filename().string();
    } catch (const std::exception&) {
      notes << "vqlog: " << TerminalSafe(dir) << ": skipped a file whose name cannot be shown in this code page\n";
      continue;
    }
    const bool store = stores && EndsWith(name, kStoreSuffix);
    if (!store && !EndsWith(name, kRuntimeSuffix) && !EndsWith(name, kAssertSuffix)) continue;
    std::string path = JoinPath(dir, name);
    // A FIFO or device could block or never end: only regular files are
    // read. An entry whose type cannot be told (a dangling link) is kept,
    // so that its open says why it cannot be read.
    std::error_code type_ec;
    fs::file_status status = it->status(type_ec);
    if (!type_ec && fs::is_directory(status)) {
      notes << "vqlog: skipped " << TerminalSafe(path) << ": a directory\n";
      continue;
    }
    if (!type_ec && !fs::is_regular_file(status)) {
      notes << "vqlog: skipped " << TerminalSafe(path) << ": not a regular file\n";
      continue;
    }
    if (store) {
      out.push_back({path, std::nullopt, true, true});
      continue;
    }
    std::optional<LogFileName> parsed = ParseLogFileName(name);
    if (!parsed) {
      notes << "vqlog: skipped " << TerminalSafe(path) << ": the name does not follow <exe>_<pid>_<Y-M-D-h-m-s>"
            << "_runtime.log"
            << " or _assert.log\n";
      continue;
    }
    out.push_back({path, std::move(parsed), true});
  }
  if (ec) {
    notes << "vqlog: cannot read all of directory " << TerminalSafe(dir) << ": " << TerminalSafe(ec.message())
          << "\n";
  }
}

bool IsDirectory(const std::string& path) {
  std::error_code ec;
  return fs::is_directory(fs::path(path), ec);
}

}  // namespace

std::optional<LogFileName> ParseLogFileName(std::string_view base_name) {
  LogFileName result;
  if (EndsWith(base_name, kRuntimeSuffix)) {
    base_name.remove_suffix(kRuntimeSuffix.size());
  } else if (EndsWith(base_name, kAssertSuffix)) {
    base_name.remove_suffix(kAssertSuffix.size());
    result.assert_log = true;
  } else {
    return std::nullopt;
  }
  size_t time_start = base_name.rfind('_');
  if (time_start == std::string_view::npos) return std::nullopt;
  std::string_view time_text = base_name.substr(time_start + 1);
  base_name = base_name.substr(0, time_start);
  size_t pid_start = base_name.rfind('_');
  if (pid_start == std::string_view::npos) return std::nullopt;
  std::optional<int64_t> pid = ProcessId(base_name.substr(pid_start + 1));
  if (!pid) return std::nullopt;
  result.exe = std::string(base_name.substr(0, pid_start));
  result.pid = *pid;

  int* fields[] = {&result.year, &result.month, &result.day, &result.hour, &result.minute, &result.second};
  for (size_t i = 0; i < 6; ++i) {
    size_t dash = i < 5 ? time_text.find('-') : time_text.size();
    if (dash == std::string_view::npos) return std::nullopt;
    std::optional<int> value = SmallNumber(time_text.substr(0, dash));
    if (!value) return std::nullopt;
    *fields[i] = *value;
    time_text.remove_prefix(std::min(dash + 1, time_text.size()));
  }
  if (result.month < 1 || result.month > 12 || result.day < 1 ||
      result.day > DaysInMonth(result.year, result.month) || result.hour > 23 || result.minute > 59 ||
      result.second > 59) {
    return std::nullopt;
  }
  return result;
}

int64_t StartSeconds(const LogFileName& name) {
  return CivilSeconds(name.year, name.month, name.day, name.hour, name.minute, name.second);
}

std::string StartIso(const LogFileName& name) {
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", name.year, name.month, name.day, name.hour,
                name.minute, name.second);
  return text;
}

std::vector<std::string> DefaultLogDirectories() {
  const char* env = std::getenv("LOGGING_DIR");
  if (env != nullptr) return LoggingDirCandidates(env);
  return {TempDirectory()};
}

std::vector<ProcessLogs> GroupByProcess(const std::vector<LogSource>& sources) {
  std::vector<LogSource> named;
  for (const LogSource& s : sources) {
    if (s.name) named.push_back(s);
  }
  std::sort(named.begin(), named.end(), NamedBefore);
  // Per directory, exe and pid: the runtime logs still waiting for their
  // assert log, as indexes into `groups`.
  std::map<std::tuple<std::string, std::string, int64_t>, std::vector<size_t>> open_runtime;
  std::vector<ProcessLogs> groups;
  for (const LogSource& s : named) {
    auto key = std::make_tuple(DirectoryOf(s.path), s.name->exe, s.name->pid);
    if (!s.name->assert_log) {
      open_runtime[key].push_back(groups.size());
      groups.push_back({s, std::nullopt});
      continue;
    }
    // The latest runtime log of the same process started at or before it.
    std::optional<size_t> match;
    auto found = open_runtime.find(key);
    if (found != open_runtime.end()) {
      for (size_t index : found->second) {
        ProcessLogs& g = groups[index];
        int64_t gap = StartSeconds(*s.name) - StartSeconds(*g.runtime->name);
        if (!g.assert_log && gap >= 0 && gap <= kPairWindowSeconds) match = index;
      }
    }
    if (match) {
      groups[*match].assert_log = s;
    } else {
      groups.push_back({std::nullopt, s});
    }
  }
  std::stable_sort(groups.begin(), groups.end(), [](const ProcessLogs& a, const ProcessLogs& b) {
    const int64_t a_start = StartSeconds(a.name()), b_start = StartSeconds(b.name());
    return std::tie(a_start, a.name().pid, a.name().exe) < std::tie(b_start, b.name().pid, b.name().exe);
  });
  return groups;
}

std::vector<LogSource> SelectLogs(const LogSelection& selection, std::ostream& notes) {
  std::vector<LogSource> found;
  std::vector<std::string> operands = selection.operands;
  // The default directories are the temporary directory, where anyone may
  // leave a *.jsonl file: only a DIR named by the user gives store files.
  const bool take_stores = !operands.empty();
  if (operands.empty()) operands = DefaultLogDirectories();
  for (const std::string& operand : operands) {
    if (operand != "-" && IsDirectory(operand)) {
      ListDirectory(operand, take_stores, found, notes);
    } else {
      const bool store = operand != "-" && EndsWith(operand, kStoreSuffix);
      found.push_back({operand, operand == "-" || store ? std::nullopt : ParseLogFileName(BaseName(operand)), false,
                       store});
    }
  }

  // The same file named twice (or named and found in its directory) is read once.
  std::set<std::string> seen;
  std::vector<LogSource> named, stores, unnamed;
  const bool name_selectors = selection.exe || selection.pid || selection.last;
  for (LogSource& s : found) {
    std::string key = s.path == "-" ? s.path : fs::path(s.path).lexically_normal().generic_string();
    if (!seen.insert(key).second) continue;
    if (s.store) {
      if (selection.last) {
        notes << "vqlog: skipped " << TerminalSafe(s.path) << ": --last selects by log names, and a store has none\n";
      } else {
        stores.push_back(std::move(s));
      }
      continue;
    }
    if (selection.host) {
      notes << "vqlog: skipped " << (s.path == "-" ? std::string("standard input") : TerminalSafe(s.path))
            << ": --host selects records of the central store, and a log file names no host\n";
      continue;
    }
    if (!s.name) {
      if (name_selectors) {
        notes << "vqlog: skipped " << (s.path == "-" ? std::string("standard input") : TerminalSafe(s.path))
              << ": --exe, --pid and --last select by a log's name, and this one shows no process\n";
      } else {
        unnamed.push_back(std::move(s));
      }
      continue;
    }
    if (selection.exe && s.name->exe != *selection.exe) continue;
    if (selection.pid && s.name->pid != *selection.pid && s.name->pid + (int64_t{1} << 32) != *selection.pid) continue;
    named.push_back(std::move(s));
  }

  if (selection.last) {
    std::vector<ProcessLogs> groups = GroupByProcess(named);
    size_t keep = std::min(*selection.last, groups.size());
    named.clear();
    for (size_t i = groups.size() - keep; i < groups.size(); ++i) {
      if (groups[i].runtime) named.push_back(*groups[i].runtime);
      if (groups[i].assert_log) named.push_back(*groups[i].assert_log);
    }
  }
  std::sort(named.begin(), named.end(), NamedBefore);
  named.insert(named.end(), std::make_move_iterator(stores.begin()), std::make_move_iterator(stores.end()));
  named.insert(named.end(), std::make_move_iterator(unnamed.begin()), std::make_move_iterator(unnamed.end()));
  return named;
}

std::string NewNoteLines(const std::string& text, std::set<std::string>& printed) {
  std::string fresh;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    end = end == std::string::npos ? text.size() : end + 1;
    std::string line = text.substr(at, end - at);
    if (printed.insert(line).second) fresh += line;
    at = end;
  }
  return fresh;
}

}  // namespace vqlog
