#include "log_reader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace vqlog {
namespace {

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

// The text between the tabs at `tabs[begin - 1]` and `tabs[end - 1]`
// (field `begin` up to, not including, field `end`), tabs included.
std::string_view Fields(std::string_view line, const std::vector<size_t>& tabs, size_t begin, size_t end) {
  size_t from = begin == 0 ? 0 : tabs[begin - 1] + 1;
  size_t to = end - 1 < tabs.size() ? tabs[end - 1] : line.size();
  return line.substr(from, to - from);
}

// Where `needle` (not empty) first occurs in `text`, or npos. With SSE2,
// sixteen places at a time are tested on the needle's first and last bytes;
// only the places where both fit are compared in full.
size_t Find(std::string_view text, std::string_view needle) {
  const size_t k = needle.size();
  if (text.size() < k) return std::string_view::npos;
  size_t at = 0;
#ifdef __SSE2__
  const __m128i first = _mm_set1_epi8(needle[0]), last = _mm_set1_epi8(needle[k - 1]);
  for (; at + k - 1 + 16 <= text.size(); at += 16) {
    const char* p = text.data() + at;
    __m128i starts = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), first);
    __m128i ends = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k - 1)), last);
    for (unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(starts, ends))); mask != 0;
         mask &= mask - 1) {
      unsigned i = static_cast<unsigned>(__builtin_ctz(mask));
      if (std::memcmp(p + i, needle.data(), k) == 0) return at + i;
    }
  }
#endif
  size_t rest = text.substr(at).find(needle);
  return rest == std::string_view::npos ? rest : at + rest;
}

// The number of line feeds in `text`. With SSE2, each byte of a counter
// vector counts the line feeds at its place in up to 255 blocks of sixteen.
int64_t CountLineFeeds(std::string_view text) {
  int64_t count = 0;
  const char* p = text.data();
  const char* end = p + text.size();
#ifdef __SSE2__
  const __m128i line_feed = _mm_set1_epi8('\n');
  while (end - p >= 16) {
    const char* stop = p + std::min<ptrdiff_t>((end - p) / 16, 255) * 16;
    __m128i counts = _mm_setzero_si128();
    for (; p != stop; p += 16) {
      counts = _mm_sub_epi8(counts, _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), line_feed));
    }
    __m128i sums = _mm_sad_epu8(counts, _mm_setzero_si128());
    count += _mm_cvtsi128_si32(sums) + _mm_extract_epi16(sums, 4);
  }
#endif
  while (p != end && (p = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)))) != nullptr) {
    ++count;
    ++p;
  }
  return count;
}

bool Contains(std::string_view text, std::string_view part) {
  return part.empty() || Find(text, part) != std::string_view::npos;
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

int DaysInMonth(int year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

// Years stop at 99999 so that SortKey cannot overflow.
bool InRange(const Timestamp& t) {
  return t.year <= 99999 && t.month >= 1 && t.month <= 12 && t.day >= 1 &&
         t.day <= DaysInMonth(t.year, t.month) && t.hour <= 23 && t.minute <= 59 && t.second <= 60 &&
         t.millisecond <= 999;
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

RecordParser::RecordParser(std::string path) : path_(std::move(path)) {
  if (EndsWith(path_, "_assert.log")) kind_from_name_ = FileKind::Assert;
  if (EndsWith(path_, "_runtime.log")) kind_from_name_ = FileKind::Runtime;
  kind_ = kind_from_name_;
}

void RecordParser::SetGrep(std::string text) {
  // A text with a line end could span the joint of two lines; no shortcut.
  grep_ = text.find_first_of("\r\n") == std::string::npos ? std::move(text) : std::string();
}

void RecordParser::Reset() {
  RecordParser fresh(path_);
  fresh.grep_ = std::move(grep_);
  *this = std::move(fresh);
}

void RecordParser::AppendPending(std::string_view bytes) {
  if (pending_.empty() && !pending_cut_) pending_first_line_ = physical_lines_ + 1;
  size_t room = kMaxLineBytes - std::min(pending_.size(), kMaxLineBytes);
  if (bytes.size() > room) {
    pending_.append(bytes.data(), room);
    pending_cut_ = true;
  } else {
    pending_.append(bytes.data(), bytes.size());
  }
}

bool RecordParser::Take(std::string_view& data, bool end_of_data, Record* record) {
  bool emitted = false;
  while (!emitted) {
    if (data.empty()) {
      slow_from_ = slow_until_ = nullptr;
      if (!end_of_data) return false;
      if (finished_) return false;
      if (!pending_.empty() || pending_cut_) {
        // The data ended inside a line: cut short (or still being written).
        unterminated_ = true;
        ++physical_lines_;
        std::string line;
        line.swap(pending_);
        bool cut = pending_cut_;
        pending_cut_ = false;
        if (cut) ++cut_lines_;
        ReadLine(line, false, &emitted, record);
        continue;
      }
      finished_ = true;
      return EmitHeld(record);
    }
    if (!grep_.empty() && physical_lines_ > 0 && pending_.empty() && !pending_cut_ && !(has_held_ && held_wanted_) &&
        !(data.data() >= slow_from_ && data.data() < slow_until_)) {
      SkipUnwanted(data);
      if (data.empty()) continue;
    }
    const char* nl = static_cast<const char*>(std::memchr(data.data(), '\n', data.size()));
    if (nl == nullptr) {
      AppendPending(data);
      last_byte_cr_ = data.back() == '\r';
      Consume(data, data.size());
      continue;
    }
    size_t n = static_cast<size_t>(nl - data.data());
    bool cr = n > 0 ? data[n - 1] == '\r' : last_byte_cr_;
    if (!cr) {  // a bare line feed: the line goes on
      AppendPending(data.substr(0, n + 1));
      ++physical_lines_;
      last_byte_cr_ = false;
      Consume(data, n + 1);
      continue;
    }
    ++physical_lines_;
    last_byte_cr_ = false;
    if (pending_.empty() && !pending_cut_) {
      pending_first_line_ = physical_lines_;
      std::string_view line = data.substr(0, n - 1);
      if (line.size() > kMaxLineBytes) {
        line = line.substr(0, kMaxLineBytes);
        ++cut_lines_;
      }
      Consume(data, n + 1);
      ReadLine(line, true, &emitted, record);
    } else {
      AppendPending(data.substr(0, n));
      Consume(data, n + 1);
      bool cut = pending_cut_;
      if (!cut && !pending_.empty() && pending_.back() == '\r') pending_.pop_back();
      if (cut) ++cut_lines_;
      std::string line;
      line.swap(pending_);
      pending_cut_ = false;
      ReadLine(line, true, &emitted, record);
      // Keep the buffer's capacity for the next long line.
      line.clear();
      if (pending_.capacity() < line.capacity()) pending_.swap(line);
    }
  }
  return true;
}

// The start of the logical line that ends at `end` (where its CR LF begins):
// just after the CR LF before it, or 0.
size_t LogicalLineStart(std::string_view data, size_t end) {
  while (end > 0) {
    size_t at = data.substr(0, end).rfind('\n');
    if (at == std::string_view::npos) return 0;
    if (at > 0 && data[at - 1] == '\r') return at + 1;
    end = at;
  }
  return 0;
}

void RecordParser::SkipUnwanted(std::string_view& data) {
  // Whole lines before the line holding the next match (or before the line
  // the data ends in) cannot be wanted: skip them unread, as grep would.
  size_t limit = std::min(Find(data, grep_), data.size());
  size_t region = LogicalLineStart(data, limit);
  // The last record in that stretch is read after all: lines after it may
  // go on with it, up to a match.
  size_t restart = region;
  while (restart > 0) {
    size_t end = restart - 2;
    size_t start = LogicalLineStart(data, end);
    restart = start;
    if (ParseRecordLine(data.substr(start, end - start), scratch_)) break;
  }
  slow_from_ = data.data() + restart;
  slow_until_ = data.data() + region;
  if (restart == 0) return;
  physical_lines_ += CountLineFeeds(data.substr(0, restart));
  has_held_ = false;  // an unwanted record: dropped
  Consume(data, restart);
}

bool RecordParser::EmitHeld(Record* record) {
  if (!has_held_) return false;
  has_held_ = false;
  if (!held_wanted_) return false;
  std::swap(*record, held_);
  return true;
}

bool RecordParser::ReleaseHeld(Record* record) { return EmitHeld(record); }

void RecordParser::ReadLine(std::string_view line, bool terminated, bool* emitted, Record* record) {
  const int64_t first_line = pending_first_line_;
  if (first_line == 1) {
    if (line.substr(0, kByteOrderMark.size()) == kByteOrderMark) line.remove_prefix(kByteOrderMark.size());
    if (terminated && (line == kRuntimeHeader || line == kAssertHeader)) {
      kind_ = line == kRuntimeHeader ? FileKind::Runtime : FileKind::Assert;
      return;
    }
    missing_header_ = true;
  }
  const bool wanted = grep_.empty() || Contains(line, grep_);
  if (terminated) {
    // Parsed into scratch_ first: held_ must survive a line that is no record.
    if (ParseRecordLine(line, scratch_)) {
      *emitted = EmitHeld(record) || *emitted;
      std::swap(held_, scratch_);
      last_time_key_ = held_.time.SortKey();
      held_.merge_key = last_time_key_;
      FinishRecord(first_line, wanted);
      return;
    }
    // Not a record. After an assert record it is its expression going on.
    if (kind_ != FileKind::Runtime && has_held_ && held_.kind == RecordKind::Assert) {
      held_wanted_ = held_wanted_ || wanted;
      held_.text += "\r\n";
      held_.text.append(line.data(), line.size());
      MarkEnd(held_);
      return;
    }
  }
  *emitted = EmitHeld(record) || *emitted;
  has_held_ = true;
  held_wanted_ = wanted;
  held_.log = path_;
  held_.log_line = first_line;
  held_.file.clear();
  held_.line = 0;
  held_.thread = 0;
  held_.time = Timestamp();
  held_.level.reset();
  held_.merge_key = last_time_key_;
  held_.text.assign(line.data(), line.size());
  held_.ended_with_cr = terminated;
  MarkEnd(held_);
  if (terminated && line == kLastResortText && kind_ != FileKind::Assert) {
    held_.kind = RecordKind::LastResort;
  } else {
    held_.kind = RecordKind::Unparsed;
    ++unparsed_;
  }
}

void RecordParser::FinishRecord(int64_t first_line, bool wanted) {
  has_held_ = true;
  held_wanted_ = wanted;
  held_.log = path_;
  held_.log_line = first_line;
  held_.ended_with_cr = true;
  MarkEnd(held_);
}

void RecordParser::ResumeAt(int64_t line, int64_t offset, std::optional<bool> assert_log) {
  Reset();
  physical_lines_ = line - 1;
  consumed_ = offset;
  if (assert_log) kind_ = *assert_log ? FileKind::Assert : FileKind::Runtime;
}

std::optional<bool> RecordParser::assert_log() const {
  if (kind_ == FileKind::Unknown) return std::nullopt;
  return kind_ == FileKind::Assert;
}

bool RecordParser::ParseRecordLine(std::string_view line, Record& record) {
  tabs_.clear();
  for (size_t at = 0;;) {
    const void* tab = std::memchr(line.data() + at, '\t', line.size() - at);
    if (tab == nullptr) break;
    size_t pos = static_cast<size_t>(static_cast<const char*>(tab) - line.data());
    tabs_.push_back(pos);
    at = pos + 1;
  }
  const size_t n = tabs_.size() + 1;  // fields
  if (n < 5) return false;
  std::optional<Timestamp> time = ParseLogTimestamp(Fields(line, tabs_, 0, 1));
  if (!time) return false;
  std::optional<int64_t> thread = ParseInteger(Fields(line, tabs_, 1, 2));
  if (!thread) return false;

  bool runtime = kind_ == FileKind::Runtime;
  if (kind_ == FileKind::Unknown) runtime = n >= 6 && ParseInteger(Fields(line, tabs_, n - 1, n)).has_value();
  if (runtime) {
    // The message has no tabs (the library replaces them), so columns are
    // counted from the right; extra tabs can only be in the file name.
    if (n < 6) return false;
    std::optional<int64_t> level = ParseInteger(Fields(line, tabs_, n - 1, n));
    std::optional<int64_t> source_line = ParseInteger(Fields(line, tabs_, n - 3, n - 2));
    if (!level || !source_line) return false;
    record.level = level;
    record.line = *source_line;
    std::string_view file = Fields(line, tabs_, 2, n - 3), text = Fields(line, tabs_, n - 2, n - 1);
    record.file.assign(file.data(), file.size());
    record.text.assign(text.data(), text.size());
    record.kind = record.text == kFallbackText ? RecordKind::Fallback : RecordKind::Runtime;
  } else {
    // Assert: the first integer column after the file name is the line
    // number; every column after it belongs to the expression.
    size_t k = 3;
    std::optional<int64_t> source_line;
    for (; k + 1 < n; ++k) {
      source_line = ParseInteger(Fields(line, tabs_, k, k + 1));
      if (source_line) break;
    }
    if (!source_line) return false;
    record.line = *source_line;
    std::string_view file = Fields(line, tabs_, 2, k), text = Fields(line, tabs_, k + 1, n);
    record.file.assign(file.data(), file.size());
    record.text.assign(text.data(), text.size());
    record.level.reset();
    record.kind = RecordKind::Assert;
  }
  record.time = *time;
  record.thread = *thread;
  return true;
}

void RecordParser::Feed(std::string_view bytes, std::vector<Record>& out) {
  Record record;
  while (Take(bytes, false, &record)) out.push_back(record);
}

void RecordParser::Flush(std::vector<Record>& out, bool end_of_data) {
  Record record;
  if (end_of_data) {
    std::string_view none;
    while (Take(none, true, &record)) out.push_back(record);
  } else if (ReleaseHeld(&record)) {
    out.push_back(record);
  }
}

void OpenFileBudget::MakeRoom() {
  while (open_.size() >= max_open_) {
    LogReader* oldest = open_.back();
    oldest->source_.Park();
    Remove(oldest);
  }
}

void OpenFileBudget::Add(LogReader* reader) {
  open_.push_front(reader);
  reader->budget_place_ = open_.begin();
  reader->in_budget_ = true;
}

void OpenFileBudget::Touch(LogReader* reader) {
  if (reader->budget_place_ != open_.begin()) open_.splice(open_.begin(), open_, reader->budget_place_);
}

void OpenFileBudget::Remove(LogReader* reader) {
  if (!reader->in_budget_) return;
  open_.erase(reader->budget_place_);
  reader->in_budget_ = false;
}

LogReader::LogReader(std::string path, size_t chunk_bytes, bool regular_only, OpenFileBudget* budget)
    : path_(std::move(path)), budget_(budget), chunk_bytes_(chunk_bytes), parser_(path_) {
  if (budget_) budget_->MakeRoom();
  opened_ = source_.Open(path_, regular_only);
  if (!opened_) error_ = source_.error();
  if (opened_ && budget_ && source_.regular_file()) budget_->Add(this);
}

LogReader::~LogReader() { CloseSource(); }

void LogReader::CloseSource() {
  if (budget_) budget_->Remove(this);
  source_.Close();
}

bool LogReader::Fill() {
  if (source_.parked()) {
    budget_->MakeRoom();
    if (!source_.Resume(path_, offset_)) {
      read_failed_ = true;
      error_ = source_.error();
      end_ = true;
      return false;
    }
    ++budget_->reopens_;
    budget_->Add(this);
  } else if (in_budget_) {
    budget_->Touch(this);
  }
  if (!buffer_) buffer_.reset(new char[chunk_bytes_]);
  int64_t got = source_.Read(buffer_.get(), chunk_bytes_);
  if (got < 0) {
    read_failed_ = true;
    error_ = source_.error();
    end_ = true;
    return false;
  }
  if (got == 0) {
    if (!follow_) end_ = true;
    return false;
  }
  constexpr size_t kPrefixBytes = 4096;
  if (follow_ && prefix_.size() < kPrefixBytes && offset_ == static_cast<int64_t>(prefix_.size())) {
    prefix_.append(buffer_.get(), std::min(static_cast<size_t>(got), kPrefixBytes - prefix_.size()));
  }
  offset_ += got;
  unread_ = std::string_view(buffer_.get(), static_cast<size_t>(got));
  return true;
}

bool LogReader::Next(Record* record) {
  if (!opened_) return false;
  for (;;) {
    if (parser_.Take(unread_, end_, record)) return true;
    if (end_) {
      if (source_.is_open() || source_.parked()) {
        CloseSource();
        buffer_.reset();
      }
      return false;
    }
    if (!Fill() && !end_) return false;  // following: nothing new yet
  }
}

InputSource::Change LogReader::CheckFollowed() {
  if (!opened_ || !source_.is_open()) return InputSource::Change::None;
  InputSource::Change change = source_.CheckFollowed(path_, offset_, prefix_);
  if (change == InputSource::Change::None) return change;
  if (!source_.Restart(path_, change)) {
    read_failed_ = true;
    error_ = source_.error();
    end_ = true;
    return change;
  }
  parser_.Reset();
  unread_ = std::string_view();
  prefix_.clear();
  offset_ = 0;
  return change;
}

bool LogReader::ResumeAt(int64_t line, int64_t offset, std::optional<bool> assert_log) {
  if (!opened_ || !source_.Seek(offset)) return false;
  parser_.ResumeAt(line, offset, assert_log);
  unread_ = std::string_view();
  offset_ = offset;
  end_ = false;
  return true;
}

bool PollFollowed(LogReader& reader, int elapsed_ms, size_t share, int& quiet_ms, std::deque<Record>& out) {
  const int64_t before = reader.bytes_read();
  Record record;
  while (out.size() < share && reader.Next(&record)) out.push_back(record);
  const bool more = out.size() >= share;
  quiet_ms = reader.bytes_read() == before ? quiet_ms + elapsed_ms : 0;
  if (!more && (!reader.parser().holds_assert() || quiet_ms >= kAssertHoldMilliseconds)) {
    if (reader.ReleaseHeld(&record)) out.push_back(record);
  }
  return more;
}

bool ReadLogFile(const std::string& path, std::vector<Record>& out, int64_t* unparsed, std::string* error) {
  LogReader reader(path);
  if (!reader.ok()) {
    if (error) *error = "cannot open " + path + ": " + reader.error();
    return false;
  }
  Record record;
  while (reader.Next(&record)) out.push_back(record);
  if (unparsed) *unparsed += reader.parser().unparsed_count();
  if (reader.read_failed()) {
    if (error) *error = "cannot read " + path + ": " + reader.error();
    return false;
  }
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
