#include "log_reader.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>

namespace vqlog {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kRuntimeHeader =
    "TIMESTAMP\tTHREAD_ID\tFILENAME\tLINE_NUMBER\tLOGGED_DATA\tLEVEL";
constexpr std::string_view kAssertHeader = "TIMESTAMP\tTHREAD_ID\tFILENAME\tLINE_NUMBER\tEXPRESSION";
constexpr std::string_view kFallbackText = "Log Message too Long";
constexpr std::string_view kLastResortText = "Null Pointer Error";

bool EndsWith(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

// A signed decimal integer, the whole text and nothing else.
std::optional<int64_t> ParseInteger(std::string_view text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && text[i] == '-') {
    negative = true;
    ++i;
  }
  if (i == text.size() || text.size() - i > 18) return std::nullopt;
  int64_t value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + (text[i] - '0');
  }
  return negative ? -value : value;
}

std::vector<std::string_view> SplitTabs(std::string_view line) {
  std::vector<std::string_view> fields;
  size_t start = 0;
  for (;;) {
    size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab == std::string_view::npos ? std::string_view::npos : tab - start));
    if (tab == std::string_view::npos) return fields;
    start = tab + 1;
  }
}

std::string JoinTabs(const std::vector<std::string_view>& fields, size_t begin, size_t end) {
  std::string joined;
  for (size_t i = begin; i < end; ++i) {
    if (i > begin) joined += '\t';
    joined += fields[i];
  }
  return joined;
}

// Reads up to `max_digits` digits at `pos`; false when there is none.
bool ReadNumber(std::string_view text, size_t& pos, int& value, size_t max_digits = 9) {
  size_t start = pos;
  value = 0;
  while (pos < text.size() && pos - start < max_digits && text[pos] >= '0' && text[pos] <= '9') {
    value = value * 10 + (text[pos] - '0');
    ++pos;
  }
  return pos > start;
}

bool Expect(std::string_view text, size_t& pos, char c) {
  if (pos < text.size() && text[pos] == c) {
    ++pos;
    return true;
  }
  return false;
}

bool InRange(const Timestamp& t) {
  return t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= 31 && t.hour <= 23 &&
         t.minute <= 59 && t.second <= 60 && t.millisecond <= 999;
}

// Date, then optionally the time of day: "Y-M-D[<sep>H:M[:S[.F]]]". The
// fraction is a count of milliseconds in the log's form and a decimal
// fraction in ISO form.
std::optional<Timestamp> ParseTime(std::string_view text, char separator, bool iso_fraction,
                                   bool partial_allowed) {
  Timestamp t;
  size_t pos = 0;
  if (!ReadNumber(text, pos, t.year) || !Expect(text, pos, '-') || !ReadNumber(text, pos, t.month) ||
      !Expect(text, pos, '-') || !ReadNumber(text, pos, t.day)) {
    return std::nullopt;
  }
  if (pos == text.size()) {
    if (!partial_allowed) return std::nullopt;
    return InRange(t) ? std::optional<Timestamp>(t) : std::nullopt;
  }
  if (!Expect(text, pos, separator) || !ReadNumber(text, pos, t.hour) || !Expect(text, pos, ':') ||
      !ReadNumber(text, pos, t.minute)) {
    return std::nullopt;
  }
  if (pos < text.size() || !partial_allowed) {
    if (!Expect(text, pos, ':') || !ReadNumber(text, pos, t.second)) return std::nullopt;
  }
  if (pos < text.size() || !partial_allowed) {
    if (!Expect(text, pos, '.')) return std::nullopt;
    if (iso_fraction) {
      size_t start = pos;
      int digits = 0;
      if (!ReadNumber(text, pos, digits, 3)) return std::nullopt;
      for (size_t n = pos - start; n < 3; ++n) digits *= 10;
      t.millisecond = digits;
      while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') ++pos;
    } else if (!ReadNumber(text, pos, t.millisecond, 3)) {
      return std::nullopt;
    }
  }
  if (pos != text.size() || !InRange(t)) return std::nullopt;
  return t;
}

}  // namespace

int64_t Timestamp::SortKey() const {
  int64_t key = static_cast<int64_t>(year) * 12 + (month - 1);
  key = key * 31 + (day - 1);
  key = key * 24 + hour;
  key = key * 60 + minute;
  key = key * 61 + second;
  return key * 1000 + millisecond;
}

std::string Timestamp::Iso() const {
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", year, month, day, hour, minute,
                second, millisecond);
  return text;
}

std::string Timestamp::Display() const {
  std::string text = Iso();
  text[10] = ' ';
  return text;
}

std::optional<Timestamp> ParseLogTimestamp(std::string_view text) {
  return ParseTime(text, ' ', false, false);
}

std::optional<Timestamp> ParseUserTime(std::string_view text) {
  if (text.find('T') != std::string_view::npos) return ParseTime(text, 'T', true, true);
  return ParseTime(text, ' ', false, true);
}

const char* KindName(RecordKind kind) {
  switch (kind) {
    case RecordKind::Runtime: return "runtime";
    case RecordKind::Assert: return "assert";
    case RecordKind::Fallback: return "fallback";
    case RecordKind::LastResort: return "last_resort";
    case RecordKind::Unparsed: return "unparsed";
  }
  return "unparsed";
}

LogReader::LogReader(std::string path) : path_(std::move(path)) {
  if (EndsWith(path_, "_assert.log")) kind_ = FileKind::Assert;
  if (EndsWith(path_, "_runtime.log")) kind_ = FileKind::Runtime;
}

void LogReader::Feed(std::string_view bytes, std::vector<Record>& out) {
  partial_.append(bytes.data(), bytes.size());
  size_t start = 0;
  for (size_t nl; (nl = partial_.find('\n', start)) != std::string::npos; start = nl + 1) {
    std::string_view line(partial_.data() + start, nl - start);
    bool had_cr = !line.empty() && line.back() == '\r';
    if (had_cr) line.remove_suffix(1);
    ReadLine(line, had_cr, out);
  }
  partial_.erase(0, start);
}

void LogReader::Flush(std::vector<Record>& out, bool end_of_data) {
  if (end_of_data && !partial_.empty()) {
    std::string line;
    line.swap(partial_);
    bool had_cr = line.back() == '\r';
    if (had_cr) line.pop_back();
    ReadLine(line, had_cr, out);
  }
  if (held_) {
    out.push_back(std::move(*held_));
    held_.reset();
  }
}

void LogReader::ReadLine(std::string_view line, bool had_cr, std::vector<Record>& out) {
  ++line_number_;
  if (line_number_ == 1 && line.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
    line.remove_prefix(kByteOrderMark.size());
  }
  if (line == kRuntimeHeader || line == kAssertHeader) {
    kind_ = line == kRuntimeHeader ? FileKind::Runtime : FileKind::Assert;
    Flush(out, false);
    return;
  }
  Record record;
  record.log = path_;
  record.log_line = line_number_;
  record.ended_with_cr = had_cr;
  if (ParseRecordLine(line, record)) {
    Flush(out, false);
    held_ = std::move(record);
    return;
  }
  // An assert expression with a line feed goes on in the lines after it.
  if (kind_ != FileKind::Runtime && held_ && held_->kind == RecordKind::Assert) {
    held_->text += held_->ended_with_cr ? "\r\n" : "\n";
    held_->text.append(line.data(), line.size());
    held_->ended_with_cr = had_cr;
    return;
  }
  Flush(out, false);
  record.text.assign(line.data(), line.size());
  if (line == kLastResortText && kind_ != FileKind::Assert) {
    record.kind = RecordKind::LastResort;
  } else {
    record.kind = RecordKind::Unparsed;
    ++unparsed_;
  }
  out.push_back(std::move(record));
}

bool LogReader::ParseRecordLine(std::string_view line, Record& record) const {
  std::vector<std::string_view> fields = SplitTabs(line);
  if (fields.size() < 5) return false;
  std::optional<Timestamp> time = ParseLogTimestamp(fields[0]);
  std::optional<int64_t> thread = ParseInteger(fields[1]);
  if (!time || !thread) return false;
  record.time = *time;
  record.thread = *thread;
  const size_t n = fields.size();

  bool runtime = kind_ == FileKind::Runtime;
  if (kind_ == FileKind::Unknown) runtime = n >= 6 && ParseInteger(fields[n - 1]).has_value();
  if (runtime) {
    // The message has no tabs (the library replaces them), so columns are
    // counted from the right; extra tabs can only be in the file name.
    if (n < 6) return false;
    std::optional<int64_t> level = ParseInteger(fields[n - 1]);
    std::optional<int64_t> source_line = ParseInteger(fields[n - 3]);
    if (!level || !source_line) return false;
    record.level = level;
    record.line = *source_line;
    record.file = JoinTabs(fields, 2, n - 3);
    record.text.assign(fields[n - 2].data(), fields[n - 2].size());
    record.kind = record.text == kFallbackText ? RecordKind::Fallback : RecordKind::Runtime;
    return true;
  }
  // Assert: the first integer column after the file name is the line
  // number; every column after it belongs to the expression.
  for (size_t k = 3; k + 1 < n; ++k) {
    std::optional<int64_t> source_line = ParseInteger(fields[k]);
    if (!source_line) continue;
    record.line = *source_line;
    record.file = JoinTabs(fields, 2, k);
    record.text = JoinTabs(fields, k + 1, n);
    record.kind = RecordKind::Assert;
    return true;
  }
  return false;
}

bool ReadLogFile(const std::string& path, std::vector<Record>& out, int64_t* unparsed, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error) *error = "cannot open " + path;
    return false;
  }
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LogReader reader(path);
  reader.Feed(bytes, out);
  reader.Flush(out, true);
  if (unparsed) *unparsed += reader.unparsed_count();
  return true;
}

void MergeByTime(std::vector<std::vector<Record>> logs, std::vector<Record>& out) {
  // Each log keeps its own order; between logs the earliest head goes first,
  // the earlier log on a tie.
  std::vector<size_t> next(logs.size(), 0);
  std::vector<int64_t> last_key(logs.size(), std::numeric_limits<int64_t>::min());
  for (;;) {
    size_t best = logs.size();
    int64_t best_key = 0;
    for (size_t i = 0; i < logs.size(); ++i) {
      if (next[i] == logs[i].size()) continue;
      const Record& head = logs[i][next[i]];
      int64_t key = head.HasTime() ? head.time.SortKey() : last_key[i];
      if (best == logs.size() || key < best_key) {
        best = i;
        best_key = key;
      }
    }
    if (best == logs.size()) return;
    last_key[best] = best_key;
    out.push_back(std::move(logs[best][next[best]++]));
  }
}

}  // namespace vqlog
