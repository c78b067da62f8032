#include "store_reader.h"

#include <algorithm>
#include <cstring>
#include <functional>

namespace vqlog {
namespace {

// A lane that reads on its own does so in smaller chunks than the lead.
constexpr size_t kCursorBytes = 16 << 10;
// Recent records remembered to find re-sent ones, per lane, when no window
// was set: the most a reading gives a lane.
constexpr size_t kResendWindow = 65536;
constexpr size_t kPrefixBytes = 4096;

// A record waiting in a lane's queue: its list node and its strings.
size_t QueuedBytes(const Record& r) {
  return sizeof(Record) + 2 * sizeof(void*) + r.text.size() + r.file.size() + r.log.size();
}

// "2026-12-08T09:05:03.007" and nothing else; the date must exist.
std::optional<Timestamp> ParseStoreTime(std::string_view text) {
  static constexpr std::string_view kShape = "dddd-dd-ddTdd:dd:dd.ddd";
  if (text.size() != kShape.size()) return std::nullopt;
  for (size_t i = 0; i < kShape.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (kShape[i] == 'd' ? !digit : text[i] != kShape[i]) return std::nullopt;
  }
  return ParseUserTime(text);
}

bool GetString(const JsonObject& o, std::string_view key, std::string* out) {
  const JsonValue* v = o.Find(key);
  if (v == nullptr || v->type != JsonValue::Type::String) return false;
  out->assign(v->text);
  return true;
}

bool GetInteger(const JsonObject& o, std::string_view key, int64_t* out) {
  const JsonValue* v = o.Find(key);
  if (v == nullptr || v->type != JsonValue::Type::Integer) return false;
  *out = v->integer;
  return true;
}

// An optional key: absent is fine, present must be of its type.
bool OptionalString(const JsonObject& o, std::string_view key, std::optional<std::string>* out) {
  out->reset();
  if (o.Find(key) == nullptr) return true;
  std::string text;
  if (!GetString(o, key, &text)) return false;
  *out = std::move(text);
  return true;
}

bool OptionalInteger(const JsonObject& o, std::string_view key, std::optional<int64_t>* out) {
  out->reset();
  if (o.Find(key) == nullptr) return true;
  int64_t value;
  if (!GetInteger(o, key, &value)) return false;
  *out = value;
  return true;
}

uint64_t Mix(uint64_t h, uint64_t v) {
  h ^= v + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2);
  return h;
}

}  // namespace

bool ParseStoreLine(std::string_view line, JsonObject& object, Record* record, StoreOrigin* origin) {
  if (!object.Parse(line)) return false;
  std::string kind;
  if (!GetString(object, "kind", &kind)) return false;
  Record& r = *record;
  if (kind == "runtime") {
    r.kind = RecordKind::Runtime;
  } else if (kind == "fallback") {
    r.kind = RecordKind::Fallback;
  } else if (kind == "assert") {
    r.kind = RecordKind::Assert;
  } else if (kind == "last_resort") {
    r.kind = RecordKind::LastResort;
  } else if (kind == "unparsed") {
    r.kind = RecordKind::Unparsed;
  } else {
    return false;
  }
  r.level.reset();
  if (r.HasTime()) {
    std::string time;
    if (!GetString(object, "time", &time)) return false;
    std::optional<Timestamp> t = ParseStoreTime(time);
    if (!t || !GetInteger(object, "thread", &r.thread) || !GetString(object, "file", &r.file) ||
        !GetInteger(object, "line", &r.line)) {
      return false;
    }
    r.time = *t;
    if (r.kind == RecordKind::Assert) {
      if (!GetString(object, "expression", &r.text)) return false;
    } else {
      int64_t level;
      if (!GetString(object, "message", &r.text) || !GetInteger(object, "level", &level)) return false;
      r.level = level;
    }
  } else {
    if (!GetString(object, "text", &r.text)) return false;
    r.time = Timestamp();
    r.thread = 0;
    r.file.clear();
    r.line = 0;
  }
  std::optional<int64_t> log_line;
  if (!GetString(object, "log", &origin->log) || !OptionalString(object, "exe", &origin->exe) ||
      !OptionalInteger(object, "pid", &origin->pid) || !OptionalString(object, "host", &origin->host) ||
      !OptionalString(object, "peer", &origin->peer) || !OptionalInteger(object, "log_line", &log_line)) {
    return false;
  }
  if (log_line && *log_line < 1) return false;
  origin->own_lines = false;
  r.log = origin->log;
  r.host = origin->host ? *origin->host : origin->peer.value_or("");
  r.log_line = log_line.value_or(0);
  r.ended_with_cr = true;
  return true;
}

uint64_t ResendHash(const Record& r) {
  std::hash<std::string_view> text_hash;
  uint64_t h = static_cast<uint64_t>(r.kind) + 1;
  h = Mix(h, static_cast<uint64_t>(r.HasTime() ? r.time.SortKey() : -1));
  h = Mix(h, static_cast<uint64_t>(r.thread));
  h = Mix(h, static_cast<uint64_t>(r.line));
  h = Mix(h, r.level ? static_cast<uint64_t>(*r.level) : 0x5A5A5A5Aull);
  h = Mix(h, static_cast<uint64_t>(r.log_line));
  h = Mix(h, text_hash(r.file));
  h = Mix(h, text_hash(r.text));
  return h;
}

bool SameValues(const Record& a, const Record& b) {
  if (a.kind != b.kind || a.thread != b.thread || a.line != b.line || a.level != b.level ||
      a.log_line != b.log_line || a.file != b.file || a.text != b.text) {
    return false;
  }
  const Timestamp &s = a.time, &t = b.time;
  return !a.HasTime() || (s.year == t.year && s.month == t.month && s.day == t.day && s.hour == t.hour &&
                          s.minute == t.minute && s.second == t.second && s.millisecond == t.millisecond);
}

void ResendFilter::Remember(uint64_t h, int64_t where) {
  if (ring_.size() < window_) {
    ring_.push_back({h, where});
  } else {
    auto old = recent_.find(ring_[next_].hash);
    if (old != recent_.end() && --old->second == 0) recent_.erase(old);
    ring_[next_] = {h, where};
    next_ = (next_ + 1) % window_;
  }
  ++recent_[h];
}

StoreReader::StoreReader(std::string path, StoreSelection selection, StoreReadAhead* read_ahead,
                         size_t chunk_bytes)
    : path_(std::move(path)),
      selection_(std::move(selection)),
      read_ahead_(read_ahead ? read_ahead : &own_read_ahead_),
      chunk_bytes_(std::max<size_t>(chunk_bytes, 4096)) {
  // Only a regular file: a store is read in several places at once, and a
  // FIFO found in the store's directory must not block.
  opened_ = source_.Open(path_, /*regular_only=*/true);
  if (!opened_) error_ = source_.error();
  ResetCursor(lead_, 0, chunk_bytes_);
  resend_window_ = kResendWindow;
}

StoreReader::~StoreReader() {
  for (const Lane& lane : lanes_) {
    for (const Record& r : lane.queue) {
      read_ahead_->bytes -= QueuedBytes(r);
      --read_ahead_->records;
    }
  }
}

// The buffer is allocated by the first Fill: a lane that waits to read on
// by itself holds none.
void StoreReader::ResetCursor(Cursor& c, int64_t offset, size_t capacity) {
  if (c.capacity < capacity) {
    c.buffer.reset();
    c.capacity = capacity;
  }
  c.begin = c.end = 0;
  c.buffer_offset = offset;
  c.line_number = 0;
  c.last_time_key = INT64_MIN;
  c.eof = false;
  c.skipping = false;
}

bool StoreReader::Fill(Cursor& c) {
  if (!c.buffer) c.buffer.reset(new char[c.capacity]);
  if (c.begin > 0) {
    std::memmove(c.buffer.get(), c.buffer.get() + c.begin, c.end - c.begin);
    c.buffer_offset += static_cast<int64_t>(c.begin);
    c.end -= c.begin;
    c.begin = 0;
  }
  if (c.end == c.capacity) {  // a long line: room for it, up to the limit
    size_t grown = std::min(c.capacity * 2, kMaxLineBytes + 1);
    std::unique_ptr<char[]> bigger(new char[grown]);
    std::memcpy(bigger.get(), c.buffer.get(), c.end);
    c.buffer = std::move(bigger);
    c.capacity = grown;
  }
  const int64_t at = c.buffer_offset + static_cast<int64_t>(c.end);
  size_t room = c.capacity - c.end;
  if (indexed_end_ != INT64_MAX) room = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(room), indexed_end_ - at));
  if (room == 0) {
    c.eof = true;
    return false;
  }
  if (at != source_offset_ && !source_.Seek(at)) {
    read_failed_ = true;
    error_ = "cannot move in the file";
    c.eof = true;
    return false;
  }
  const int64_t got = source_.Read(c.buffer.get() + c.end, room);
  if (got < 0) {
    read_failed_ = true;
    error_ = source_.error();
    c.eof = true;
    return false;
  }
  source_offset_ = at + got;
  read_end_ = std::max(read_end_, source_offset_);
  if (got == 0) {
    if (!follow_) c.eof = true;
    return false;
  }
  if (follow_ && prefix_.size() < kPrefixBytes && at == static_cast<int64_t>(prefix_.size())) {
    prefix_.append(c.buffer.get() + c.end, std::min(static_cast<size_t>(got), kPrefixBytes - prefix_.size()));
  }
  c.end += static_cast<size_t>(got);
  return true;
}

bool StoreReader::ReadLine(Cursor& c, std::string_view* line, int64_t* at) {
  for (;;) {
    char* data = c.buffer.get();
    const char* nl =
        c.end > c.begin ? static_cast<const char*>(std::memchr(data + c.begin, '\n', c.end - c.begin)) : nullptr;
    if (c.skipping) {  // the rest of a line cut at the limit
      if (nl != nullptr) {
        c.begin = static_cast<size_t>(nl - data) + 1;
        c.skipping = false;
        continue;
      }
      c.begin = c.end;
      if (c.eof || !Fill(c)) return false;
      continue;
    }
    if (nl != nullptr || c.end - c.begin > kMaxLineBytes) {
      size_t n = nl != nullptr ? static_cast<size_t>(nl - (data + c.begin)) : kMaxLineBytes;
      *at = c.offset();
      *line = std::string_view(data + c.begin, n);
      if (nl == nullptr) {
        c.skipping = true;
        if (counting_) ++cut_lines_;
      }
      c.begin += nl != nullptr ? n + 1 : n;
      if (!line->empty() && line->back() == '\r') line->remove_suffix(1);
      return true;
    }
    if (c.eof || !Fill(c)) {
      if (c.eof && c.end > c.begin && !follow_) {  // a last line without its end
        *at = c.offset();
        *line = std::string_view(data + c.begin, c.end - c.begin);
        c.begin = c.end;
        if (counting_) unterminated_ = true;
        return true;
      }
      return false;
    }
  }
}

size_t StoreReader::Classify(std::string_view line, int64_t at, Cursor& c, bool add, Record* record) {
  ++c.line_number;
  if (ParseStoreLine(line, object_, record, &origin_)) {
    if (record->HasTime()) c.last_time_key = record->time.SortKey();
  } else {
    origin_ = StoreOrigin();
    origin_.log = path_;
    origin_.own_lines = true;
    record->kind = RecordKind::Unparsed;
    record->text.assign(line.data(), line.size());
    record->time = Timestamp();
    record->thread = 0;
    record->file.clear();
    record->line = 0;
    record->level.reset();
    record->log = path_;
    record->host.clear();
    record->log_line = c.line_number;
    record->merge_key = c.last_time_key;
    // Counted when shown: a selector skips them.
    if (counting_ && !selection_.exe && !selection_.pid && !selection_.host) ++unparsed_;
  }
  key_.clear();
  auto part = [this](const std::optional<std::string>& s) {
    key_ += s ? '+' : '-';
    if (s) key_ += *s;
    key_ += '\0';
  };
  key_ += origin_.own_lines ? 'o' : 'r';
  part(origin_.host);
  part(origin_.peer);
  part(origin_.exe);
  part(origin_.pid ? std::optional<std::string>(std::to_string(*origin_.pid)) : std::nullopt);
  key_ += origin_.log;
  auto found = lane_of_.find(key_);
  if (found != lane_of_.end()) return found->second;
  if (!add) return static_cast<size_t>(-1);
  Lane lane;
  lane.info.origin = origin_;
  const StoreOrigin& o = origin_;
  const StoreSelection& s = selection_;
  // Lines that are no record show no process: a selector skips them.
  lane.info.selected =
      !(o.own_lines && (s.exe || s.pid || s.host)) && (!s.exe || (o.exe && *o.exe == *s.exe)) &&
      (!s.pid || (o.pid && (*o.pid == *s.pid || *o.pid + (int64_t{1} << 32) == *s.pid))) &&
      (!s.host || (o.host && *o.host == *s.host) || (o.peer && *o.peer == *s.host));
  lane.info.first_offset = lane.info.last_offset = at;
  lane.info.first_key = record->HasTime() ? record->time.SortKey() : o.own_lines ? record->merge_key : INT64_MIN;
  lanes_.push_back(std::move(lane));
  lane_of_.emplace(key_, lanes_.size() - 1);
  return lanes_.size() - 1;
}

bool StoreReader::Take(Lane& lane, Record& record, int64_t at) {
  if (lane.info.origin.own_lines) return true;  // placed by the file's order already
  if (!lane.resend) lane.resend = std::make_unique<ResendFilter>(resend_window_, resend_hash_);
  if (lane.resend->Seen(record, at, [&](int64_t where) { return SameAsLineAt(where, record); })) {
    ++resent_;
    return false;
  }
  // A record without a time goes after the one before it in its log.
  if (record.HasTime()) lane.last_time_key = record.time.SortKey();
  record.merge_key = lane.last_time_key;
  return true;
}

bool StoreReader::Index(bool drop_resent) {
  if (!opened_) return false;
  counting_ = true;
  std::string_view line;
  int64_t at;
  while (ReadLine(lead_, &line, &at)) {
    const size_t j = Classify(line, at, lead_, true, &scratch_);
    StoreLane& info = lanes_[j].info;
    info.last_offset = at;
    if (drop_resent && !Take(lanes_[j], scratch_, at)) continue;
    info.bytes += lead_.offset() - at;
    if (scratch_.kind == RecordKind::Unparsed) continue;
    ++info.records;
    if (scratch_.kind == RecordKind::Assert) ++info.assert_records;
    if (!scratch_.HasTime()) continue;
    const int64_t key = scratch_.time.SortKey();
    if (!info.first || key < info.first->SortKey()) info.first = scratch_.time;
    if (!info.last || key > info.last->SortKey()) info.last = scratch_.time;
  }
  counting_ = false;
  if (read_failed_) return false;
  // Ready for the lanes to be read: from the start, only as far as indexed.
  indexed_end_ = lead_.offset();
  for (Lane& lane : lanes_) {
    lane.resend.reset();
    lane.last_time_key = INT64_MIN;
  }
  resent_ = drop_resent ? resent_ : 0;
  ResetCursor(lead_, 0, chunk_bytes_);
  return true;
}

bool StoreReader::Next(size_t id, Record* out) {
  Lane& lane = lanes_[id];
  if (!lane.queue.empty()) {
    Record& front = lane.queue.front();
    read_ahead_->bytes -= QueuedBytes(front);
    --read_ahead_->records;
    std::swap(*out, front);
    lane.queue.pop_front();
    return true;
  }
  if (lane.done || read_failed_) return false;
  Cursor& c = lane.detached ? *lane.cursor : lead_;
  std::string_view line;
  int64_t at;
  while (c.offset() <= lane.info.last_offset) {
    const int64_t line_number = c.line_number, time_key = c.last_time_key;
    if (!ReadLine(c, &line, &at)) break;
    const size_t j = Classify(line, at, c, false, &scratch_);
    if (j == static_cast<size_t>(-1)) continue;
    Lane& other = lanes_[j];
    if (!other.info.selected || other.done) continue;
    if (j != id) {
      // A lane reading on its own leaves the other lanes' lines to the lead.
      if (lane.detached || other.detached) continue;
      if (read_ahead_->records >= read_ahead_->max_records ||
          read_ahead_->bytes + QueuedBytes(scratch_) > read_ahead_->max_bytes) {
        // No room to read ahead for that lane: it reads on from here itself.
        other.detached = true;
        other.cursor = std::make_unique<Cursor>();
        ResetCursor(*other.cursor, at, kCursorBytes);
        other.cursor->line_number = line_number;
        other.cursor->last_time_key = time_key;
        continue;
      }
    }
    if (!Take(other, scratch_, at)) continue;
    if (j == id) {
      std::swap(*out, scratch_);
      if (at == lane.info.last_offset) {  // its last line: what it holds can go now
        lane.done = true;
        lane.cursor.reset();
        lane.resend.reset();
      }
      return true;
    }
    read_ahead_->bytes += QueuedBytes(scratch_);
    ++read_ahead_->records;
    other.queue.push_back(std::move(scratch_));
  }
  lane.done = true;
  lane.cursor.reset();
  lane.resend.reset();
  return false;
}

bool StoreReader::NextInFileOrder(size_t* lane, Record* record) {
  if (!opened_) return false;
  follow_ = true;
  counting_ = true;
  std::string_view line;
  int64_t at;
  while (ReadLine(lead_, &line, &at)) {
    const size_t j = Classify(line, at, lead_, true, &scratch_);
    if (!lanes_[j].info.selected) continue;
    if (!Take(lanes_[j], scratch_, at)) continue;
    *lane = j;
    std::swap(*record, scratch_);
    return true;
  }
  return false;
}

InputSource::Change StoreReader::CheckFollowed() {
  if (!opened_ || !source_.is_open()) return InputSource::Change::None;
  InputSource::Change change = source_.CheckFollowed(path_, read_end_, prefix_);
  if (change == InputSource::Change::None) return change;
  if (!source_.Restart(path_, change)) {
    read_failed_ = true;
    error_ = source_.error();
    return change;
  }
  source_offset_ = read_end_ = 0;
  prefix_.clear();
  ResetCursor(lead_, 0, chunk_bytes_);
  for (Lane& lane : lanes_) {
    lane.resend.reset();
    lane.last_time_key = INT64_MIN;
  }
  return change;
}

bool StoreReader::SameAsLineAt(int64_t at, const Record& record) {
  again_.clear();
  source_offset_ = -1;  // where the descriptor is, once read; the next Fill seeks back
  if (!source_.Seek(at)) return false;
  int64_t position = at;
  char chunk[4096];
  for (;;) {
    const int64_t got = source_.Read(chunk, sizeof chunk);
    if (got <= 0) break;
    position += got;
    const char* nl = static_cast<const char*>(std::memchr(chunk, '\n', static_cast<size_t>(got)));
    again_.append(chunk, nl != nullptr ? static_cast<size_t>(nl - chunk) : static_cast<size_t>(got));
    if (nl != nullptr || again_.size() > kMaxLineBytes) break;
  }
  source_offset_ = position;
  if (!again_.empty() && again_.back() == '\r') again_.pop_back();
  return again_.size() <= kMaxLineBytes && ParseStoreLine(again_, again_object_, &again_record_, &again_origin_) &&
         SameValues(again_record_, record);
}

int64_t StoreReader::bytes_read() const { return read_end_; }

}  // namespace vqlog
