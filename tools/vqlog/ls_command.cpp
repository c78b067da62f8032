#include "ls_command.h"

#include <unordered_map>
#include <map>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "console.h"
#include "log_reader.h"
#include "store_reader.h"

namespace vqlog {
namespace {

using Json = nlohmann::ordered_json;

constexpr size_t kChunkBytes = 64 * 1024;

// What one log holds.
struct LogSummary {
  std::string path;
  std::optional<int64_t> records;  // null when it could not be read
  std::optional<Timestamp> first, last;
  std::optional<uint64_t> bytes;   // null for a stream
  bool assert_kind = false;        // its records are assert records
};

struct Row {
  std::optional<LogFileName> name;
  std::optional<LogSummary> runtime, assert_log;
  // A process found in a store file: the host its records name, and the file.
  std::optional<std::string> store, host, peer;
};

// The base name of a path on an edge, which may be a Windows machine.
std::string EdgeBaseName(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A store's processes, per host and peer in the order they first show, then
// as the logs on one machine are ordered; a log whose name shows no process
// gets a row of its own.
void AddStoreRows(const LogSource& source, const LogSelection& selection, std::vector<Row>& rows,
                  std::ostream& err, bool* failed) {
  StoreReader store(source.path, {selection.exe, selection.pid, selection.host});
  if (!store.ok()) {
    err << "vqlog: cannot open " << TerminalSafe(source.path) << ": " << TerminalSafe(store.error()) << "\n";
    *failed = true;
    return;
  }
  if (!store.Index(/*drop_resent=*/true)) {
    err << "vqlog: cannot read all of " << TerminalSafe(source.path) << ": " << TerminalSafe(store.error()) << "\n";
    *failed = true;
  }
  // The selected lanes of each (host, peer), in the order hosts first
  // appear: one pass, so a store of many processes or hosts costs no more
  // than its lanes.
  using HostKey = std::pair<std::optional<std::string>, std::optional<std::string>>;
  std::map<HostKey, size_t> host_index;
  std::vector<std::pair<HostKey, std::vector<size_t>>> hosts;
  for (size_t i = 0; i < store.lane_count(); ++i) {
    const StoreLane& lane = store.lane(i);
    if (!lane.selected || lane.origin.own_lines) continue;
    HostKey key(lane.origin.host, lane.origin.peer);
    auto [at, added] = host_index.emplace(key, hosts.size());
    if (added) hosts.emplace_back(std::move(key), std::vector<size_t>());
    hosts[at->second].second.push_back(i);
  }
  for (const auto& [host, lanes] : hosts) {
    std::vector<LogSource> logs;
    std::vector<size_t> lane_of;  // per entry of `logs`
    std::unordered_map<std::string, size_t> named_log_at;  // path -> entry of `logs`
    for (size_t i : lanes) {
      const StoreLane& lane = store.lane(i);
      std::optional<LogFileName> name = ParseLogFileName(EdgeBaseName(lane.origin.log));
      // exe and pid come from the same name on the edge; a name that says
      // otherwise is not taken as that process's.
      if (name && (lane.origin.exe != name->exe || lane.origin.pid != name->pid)) name.reset();
      if (name) named_log_at[lane.origin.log] = logs.size();
      logs.push_back({lane.origin.log, name});
      lane_of.push_back(i);
    }
    auto summary = [&](const LogSource& log) {
      const StoreLane& lane = store.lane(lane_of[static_cast<size_t>(&log - logs.data())]);
      LogSummary s;
      s.path = lane.origin.log;
      s.records = lane.records;
      s.first = lane.first;
      s.last = lane.last;
      s.bytes = static_cast<uint64_t>(lane.bytes);
      s.assert_kind = log.name ? log.name->assert_log : lane.assert_records * 2 > lane.records;
      return s;
    };
    auto row_of = [&]() {
      Row row;
      row.store = source.path;
      row.host = host.first;
      row.peer = host.second;
      return row;
    };
    for (const ProcessLogs& process : GroupByProcess(logs)) {
      Row row = row_of();
      row.name = process.name();
      // GroupByProcess copies the sources: find each again by its path.
      auto named = [&](const std::optional<LogSource>& log) -> const LogSource* {
        if (!log) return nullptr;
        auto it = named_log_at.find(log->path);
        return it == named_log_at.end() ? nullptr : &logs[it->second];
      };
      if (const LogSource* log = named(process.runtime)) row.runtime = summary(*log);
      if (const LogSource* log = named(process.assert_log)) row.assert_log = summary(*log);
      rows.push_back(std::move(row));
    }
    for (const LogSource& log : logs) {
      if (log.name) continue;
      Row row = row_of();
      LogSummary s = summary(log);
      (s.assert_kind ? row.assert_log : row.runtime) = std::move(s);
      rows.push_back(std::move(row));
    }
  }
}

LogSummary Summarize(const LogSource& source, std::ostream& err, bool* failed) {
  LogSummary s;
  s.path = source.path;
  std::error_code ec;
  if (source.path != "-" && std::filesystem::is_regular_file(source.path, ec)) {
    uint64_t size = std::filesystem::file_size(source.path, ec);
    if (!ec) s.bytes = size;
  }
  // Logs are mostly small and a directory may hold thousands: a small
  // buffer each.
  LogReader reader(source.path, kChunkBytes, source.from_directory);
  if (!reader.ok()) {
    err << "vqlog: cannot open " << TerminalSafe(source.path) << ": " << TerminalSafe(reader.error()) << "\n";
    *failed = true;
    return s;
  }
  int64_t records = 0, assert_records = 0;
  Record r;
  while (reader.Next(&r)) {
    if (r.kind == RecordKind::Unparsed) continue;
    ++records;
    if (r.kind == RecordKind::Assert) ++assert_records;
    if (!r.HasTime()) continue;
    if (!s.first || r.time.SortKey() < s.first->SortKey()) s.first = r.time;
    if (!s.last || r.time.SortKey() > s.last->SortKey()) s.last = r.time;
  }
  if (reader.read_failed()) {
    err << "vqlog: cannot read all of " << TerminalSafe(source.path) << ": " << TerminalSafe(reader.error()) << "\n";
    *failed = true;
  }
  s.records = records;
  // A log whose name shows no process is known by its suffix, else by its records.
  const std::string& p = source.path;
  auto ends_with = [&p](const std::string& suffix) {
    return p.size() >= suffix.size() && p.compare(p.size() - suffix.size(), suffix.size(), suffix) == 0;
  };
  s.assert_kind = source.name         ? source.name->assert_log
                  : ends_with("_assert.log") ? true
                  : ends_with("_runtime.log") ? false
                                              : assert_records * 2 > records;
  return s;
}

std::optional<Timestamp> Earliest(const std::optional<LogSummary>& a, const std::optional<LogSummary>& b) {
  std::optional<Timestamp> x = a ? a->first : std::nullopt, y = b ? b->first : std::nullopt;
  if (!x) return y;
  if (!y) return x;
  return y->SortKey() < x->SortKey() ? y : x;
}

std::optional<Timestamp> Latest(const std::optional<LogSummary>& a, const std::optional<LogSummary>& b) {
  std::optional<Timestamp> x = a ? a->last : std::nullopt, y = b ? b->last : std::nullopt;
  if (!x) return y;
  if (!y) return x;
  return y->SortKey() > x->SortKey() ? y : x;
}

std::optional<uint64_t> TotalBytes(const Row& row) {
  std::optional<uint64_t> total;
  for (const std::optional<LogSummary>* s : {&row.runtime, &row.assert_log}) {
    if (!*s) continue;
    if (!(*s)->bytes) return std::nullopt;
    total = total.value_or(0) + *(*s)->bytes;
  }
  return total;
}

Json RowJson(const Row& row) {
  Json j;
  j["exe"] = row.name ? Json(row.name->exe) : Json(nullptr);
  j["pid"] = row.name ? Json(row.name->pid) : Json(nullptr);
  j["start"] = row.name ? Json(StartIso(*row.name)) : Json(nullptr);
  j["runtime_records"] = row.runtime && row.runtime->records ? Json(*row.runtime->records) : Json(nullptr);
  j["assert_records"] =
      row.assert_log && row.assert_log->records ? Json(*row.assert_log->records) : Json(nullptr);
  std::optional<Timestamp> first = Earliest(row.runtime, row.assert_log);
  std::optional<Timestamp> last = Latest(row.runtime, row.assert_log);
  j["first"] = first ? Json(first->Iso()) : Json(nullptr);
  j["last"] = last ? Json(last->Iso()) : Json(nullptr);
  std::optional<uint64_t> bytes = TotalBytes(row);
  j["bytes"] = bytes ? Json(*bytes) : Json(nullptr);
  j["runtime_log"] = row.runtime ? Json(row.runtime->path) : Json(nullptr);
  j["assert_log"] = row.assert_log ? Json(row.assert_log->path) : Json(nullptr);
  if (row.store) {
    j["host"] = row.host ? Json(*row.host) : Json(nullptr);
    j["peer"] = row.peer ? Json(*row.peer) : Json(nullptr);
    j["store"] = *row.store;
  }
  return j;
}

// The table: one line of cells per row, numbers right-aligned.
void PrintTable(const std::vector<Row>& rows, bool color, std::ostream& out) {
  std::vector<std::string> header = {"EXE", "PID", "START", "RUNTIME", "ASSERT", "FIRST", "LAST", "BYTES"};
  std::vector<bool> right = {false, true, false, true, true, false, false, true};
  // Processes of a store: their host and peer first.
  const bool hosts = std::any_of(rows.begin(), rows.end(), [](const Row& r) { return r.store.has_value(); });
  if (hosts) {
    header.insert(header.begin(), {"HOST", "PEER"});
    right.insert(right.begin(), {false, false});
  }
  std::vector<std::vector<std::string>> cells;
  auto count = [](const std::optional<LogSummary>& s) {
    return !s ? std::string("-") : s->records ? std::to_string(*s->records) : std::string("?");
  };
  for (const Row& row : rows) {
    std::optional<Timestamp> first = Earliest(row.runtime, row.assert_log);
    std::optional<Timestamp> last = Latest(row.runtime, row.assert_log);
    std::optional<uint64_t> bytes = TotalBytes(row);
    std::string start = row.name ? StartIso(*row.name) : "-";
    if (start.size() > 10) start[10] = ' ';
    cells.push_back({row.name ? TerminalSafe(row.name->exe)
                              : TerminalSafe((row.runtime ? row.runtime : row.assert_log)->path),
                     row.name ? std::to_string(row.name->pid) : "-", start, count(row.runtime),
                     count(row.assert_log), first ? first->Display() : "-", last ? last->Display() : "-",
                     bytes ? std::to_string(*bytes) : "-"});
    if (hosts) {
      cells.back().insert(cells.back().begin(), {row.host ? TerminalSafe(*row.host) : "-",
                                                 row.peer ? TerminalSafe(*row.peer) : "-"});
    }
  }
  std::vector<size_t> width(header.size());
  for (size_t c = 0; c < header.size(); ++c) {
    width[c] = header[c].size();
    for (const auto& line : cells) width[c] = std::max(width[c], DisplayWidth(line[c]));
  }
  auto print_line = [&](const std::vector<std::string>& line) {
    std::string text;
    for (size_t c = 0; c < line.size(); ++c) {
      size_t pad = width[c] - DisplayWidth(line[c]);
      if (c > 0) text += "  ";
      if (right[c]) text.append(pad, ' ');
      text += line[c];
      if (!right[c] && c + 1 < line.size()) text.append(pad, ' ');
    }
    out << text << '\n';
  };
  if (color) out << "\x1b[1m";
  print_line(header);
  if (color) out << "\x1b[0m";
  for (const auto& line : cells) print_line(line);
}

}  // namespace

int RunLs(const LsOptions& options, std::ostream& out, std::ostream& err) {
  std::vector<LogSource> sources = SelectLogs(options.selection, err);
  if (sources.empty()) {
    err << "vqlog: no log to list\n";
    return kLsNoLogs;
  }
  bool failed = false;
  std::vector<Row> rows;
  for (const ProcessLogs& process : GroupByProcess(sources)) {
    Row row;
    row.name = process.name();
    if (process.runtime) row.runtime = Summarize(*process.runtime, err, &failed);
    if (process.assert_log) row.assert_log = Summarize(*process.assert_log, err, &failed);
    rows.push_back(std::move(row));
  }
  // Logs named explicitly whose names show no process: a row each.
  for (const LogSource& source : sources) {
    if (source.store) {
      AddStoreRows(source, options.selection, rows, err, &failed);
      continue;
    }
    if (source.name) continue;
    Row row;
    LogSummary summary = Summarize(source, err, &failed);
    (summary.assert_kind ? row.assert_log : row.runtime) = std::move(summary);
    rows.push_back(std::move(row));
  }
  if (options.json) {
    for (const Row& row : rows) {
      out << RowJson(row).dump(-1, ' ', false, Json::error_handler_t::replace) << '\n';
    }
  } else if (!rows.empty()) {
    PrintTable(rows, options.color, out);
  }
  out.flush();
  return failed ? 1 : 0;
}

}  // namespace vqlog
