#include "record_output.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "console.h"
#include "log_discovery.h"

namespace vqlog {
namespace {

constexpr const char* kReset = "\x1b[0m";
constexpr const char* kBold = "\x1b[1m";
constexpr const char* kRed = "\x1b[1;31m";
constexpr const char* kYellow = "\x1b[33m";
constexpr const char* kMagenta = "\x1b[35m";
constexpr const char* kCyan = "\x1b[36m";
constexpr size_t kMaxSourceWidth = 40;
constexpr size_t kTimeWidth = 23;

char* WriteInt(int64_t value, char* p);

void AppendInt(int64_t value, std::string& out) {
  char digits[24];
  out.append(digits, static_cast<size_t>(WriteInt(value, digits) - digits));
}

void AppendDigits(int value, int width, std::string& out) {
  char digits[12];
  int n = 0;
  unsigned v = static_cast<unsigned>(value < 0 ? 0 : value);
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  for (int i = n; i < width; ++i) out += '0';
  while (n > 0) out += digits[--n];
}

// "2026-12-08T09:05:03.007", with `separator` between date and time.
void AppendTime(const Timestamp& t, char separator, std::string& out) {
  AppendDigits(t.year, 4, out);
  out += '-';
  AppendDigits(t.month, 2, out);
  out += '-';
  AppendDigits(t.day, 2, out);
  out += separator;
  AppendDigits(t.hour, 2, out);
  out += ':';
  AppendDigits(t.minute, 2, out);
  out += ':';
  AppendDigits(t.second, 2, out);
  out += '.';
  AppendDigits(t.millisecond, 3, out);
}

// Length of the UTF-8 sequence at text[i] and its code point; 0 when the
// bytes there are not UTF-8. `valid_prefix` gets how many bytes from i
// could begin a sequence (at least 1): the part replaced as one.
size_t DecodeUtf8(std::string_view text, size_t i, char32_t* code_point, size_t* valid_prefix) {
  const unsigned char lead = static_cast<unsigned char>(text[i]);
  *valid_prefix = 1;
  if (lead < 0x80) {
    *code_point = lead;
    return 1;
  }
  size_t length;
  unsigned char low = 0x80, high = 0xBF;  // range of the second byte
  char32_t value;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, value = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, value = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  for (size_t k = 1; k < length; ++k) {
    if (i + k >= text.size()) {
      *valid_prefix = k;
      return 0;
    }
    const unsigned char c = static_cast<unsigned char>(text[i + k]);
    if (c < (k == 1 ? low : 0x80) || c > (k == 1 ? high : 0xBF)) {
      *valid_prefix = k;
      return 0;
    }
    value = (value << 6) | (c & 0x3F);
  }
  *code_point = value;
  return length;
}


void AppendHexEscape(unsigned value, bool unicode, std::string& out) {
  char escape[16];
  int n = unicode ? std::snprintf(escape, sizeof escape, "\\u{%04X}", value)
                  : std::snprintf(escape, sizeof escape, "\\x%02X", value);
  out.append(escape, static_cast<size_t>(n));
}

bool PlainAscii(unsigned char c) { return c >= 0x20 && c < 0x7F; }

// "file:line", made printable, shortened from the left to the widest
// kMaxSourceWidth columns, never inside a character.
void AppendSource(const Record& record, std::string& scratch, std::string& out) {
  if (!record.HasTime()) return;
  scratch.clear();
  AppendPrintable(record.file, 0, scratch);
  scratch += ':';
  AppendInt(record.line, scratch);
  size_t columns = DisplayColumns(scratch);
  if (columns <= kMaxSourceWidth) {
    out += scratch;
    return;
  }
  // Drop whole characters from the front until "..." and the rest fit.
  size_t start = 0;
  while (start < scratch.size() && columns > kMaxSourceWidth - 3) {
    size_t next = start + 1;
    while (next < scratch.size() && (static_cast<unsigned char>(scratch[next]) & 0xC0) == 0x80) ++next;
    columns -= DisplayColumns(std::string_view(scratch).substr(start, next - start));
    start = next;
  }
  out += "...";
  out.append(scratch, start, std::string::npos);
}

void LevelText(const Record& record, std::string& out) {
  switch (record.kind) {
    case RecordKind::Assert: out += "ASSERT"; return;
    case RecordKind::LastResort: out += "!"; return;
    case RecordKind::Unparsed: out += "?"; return;
    default:
      if (record.level) AppendInt(*record.level, out);
      return;
  }
}

void Pad(std::string& out, size_t used, size_t width) {
  if (used < width) out.append(width - used, ' ');
}

}  // namespace

namespace {

// Writes at a raw pointer into room made beforehand: the hot path of
// `show --json`, free of per-character bounds checks.
char* WriteJsonString(std::string_view text, char* p) {
  static const char kHex[] = "0123456789abcdef";
  // 1: copied as is; 0: needs a look.
  static const auto kPlain = [] {
    std::array<unsigned char, 256> table{};
    for (int c = 0x20; c < 0x80; ++c) table[static_cast<size_t>(c)] = 1;
    table['"'] = table['\\'] = 0;
    return table;
  }();
  *p++ = '"';
  const char* s = text.data();
  const size_t n = text.size();
  size_t i = 0;
  while (i < n) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (kPlain[c]) {
      *p++ = static_cast<char>(c);
      ++i;
      continue;
    }
    if (c >= 0x80) {
      char32_t code_point;
      size_t valid_prefix;
      size_t length = DecodeUtf8(text, i, &code_point, &valid_prefix);
      if (length == 0) {
        std::memcpy(p, "\xEF\xBF\xBD", 3);  // U+FFFD for the invalid part
        p += 3;
        i += valid_prefix;
      } else {
        std::memcpy(p, s + i, length);
        p += length;
        i += length;
      }
      continue;
    }
    *p++ = '\\';
    switch (c) {
      case '"': *p++ = '"'; break;
      case '\\': *p++ = '\\'; break;
      case '\b': *p++ = 'b'; break;
      case '\t': *p++ = 't'; break;
      case '\n': *p++ = 'n'; break;
      case '\f': *p++ = 'f'; break;
      case '\r': *p++ = 'r'; break;
      default:
        *p++ = 'u';
        *p++ = '0';
        *p++ = '0';
        *p++ = kHex[c >> 4];
        *p++ = kHex[c & 15];
    }
    ++i;
  }
  *p++ = '"';
  return p;
}

// Room a JSON string of `text` may need: six bytes a byte, two quotes.
size_t JsonRoom(std::string_view text) { return text.size() * 6 + 2; }

char* WriteInt(int64_t value, char* p) {
  char digits[24];
  char* end = digits + sizeof digits;
  char* d = end;
  uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  do {
    *--d = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) *--d = '-';
  size_t n = static_cast<size_t>(end - d);
  std::memcpy(p, d, n);
  return p + n;
}

char* WriteDigits(int value, int width, char* p) {
  char digits[12];
  int n = 0;
  unsigned v = static_cast<unsigned>(value < 0 ? 0 : value);
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  for (int i = n; i < width; ++i) *p++ = '0';
  while (n > 0) *p++ = digits[--n];
  return p;
}

char* WriteText(std::string_view text, char* p) {
  std::memcpy(p, text.data(), text.size());
  return p + text.size();
}

}  // namespace

void AppendJsonString(std::string_view text, std::string& out) {
  size_t old = out.size();
  out.resize(old + JsonRoom(text));
  char* end = WriteJsonString(text, &out[old]);
  out.resize(static_cast<size_t>(end - out.data()));
}

namespace {

// The keys after a record's own: exe, pid, host, peer (each when known), log.
void AppendLogKeys(const std::string& log, const std::optional<std::string>& exe, std::optional<int64_t> pid,
                   const std::optional<std::string>& host, const std::optional<std::string>& peer,
                   std::string& t) {
  if (exe) {
    t += ",\"exe\":";
    AppendJsonString(*exe, t);
  }
  if (pid) {
    t += ",\"pid\":";
    AppendInt(*pid, t);
  }
  if (host) {
    t += ",\"host\":";
    AppendJsonString(*host, t);
  }
  if (peer) {
    t += ",\"peer\":";
    AppendJsonString(*peer, t);
  }
  t += ",\"log\":";
  AppendJsonString(log, t);
}

}  // namespace

JsonLogFields::JsonLogFields(const std::string& path, const std::optional<std::string>& exe,
                             std::optional<int64_t> pid) {
  AppendLogKeys(path, exe, pid, std::nullopt, std::nullopt, tail_);
}

JsonLogFields JsonLogFields::FromStore(const std::string& log, const std::optional<std::string>& exe,
                                       std::optional<int64_t> pid, const std::optional<std::string>& host,
                                       const std::optional<std::string>& peer) {
  JsonLogFields fields;
  fields.every_log_line_ = false;
  AppendLogKeys(log, exe, pid, host, peer, fields.tail_);
  fields.tail_.shrink_to_fit();  // a store has one per process: no room for escapes left over
  return fields;
}

JsonLogFields JsonLogFields::FromPath(const std::string& path) {
  size_t slash = path.find_last_of(
#ifdef _WIN32
      "/\\"
#else
      "/"
#endif
  );
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  std::optional<LogFileName> name;
  if (path != "-") name = ParseLogFileName(base);
  if (!name) return JsonLogFields(path, std::nullopt, std::nullopt);
  return JsonLogFields(path, name->exe, name->pid);
}

size_t RecordJsonRoom(const Record& record, const JsonLogFields& log) {
  return 180 + JsonRoom(record.file) + JsonRoom(record.text) + log.tail().size();
}

void AppendRecordJson(const Record& record, const JsonLogFields& log, std::string& out) {
  const size_t old = out.size();
  out.resize(old + RecordJsonRoom(record, log));
  char* end = WriteRecordJson(record, log, &out[old]);
  out.resize(static_cast<size_t>(end - out.data()));
}

char* WriteRecordJson(const Record& record, const JsonLogFields& log, char* p) {
  p = WriteText("{\"kind\":\"", p);
  p = WriteText(KindName(record.kind), p);
  *p++ = '"';
  if (record.HasTime()) {
    const Timestamp& t = record.time;
    p = WriteText(",\"time\":\"", p);
    p = WriteDigits(t.year, 4, p);
    *p++ = '-';
    p = WriteDigits(t.month, 2, p);
    *p++ = '-';
    p = WriteDigits(t.day, 2, p);
    *p++ = 'T';
    p = WriteDigits(t.hour, 2, p);
    *p++ = ':';
    p = WriteDigits(t.minute, 2, p);
    *p++ = ':';
    p = WriteDigits(t.second, 2, p);
    *p++ = '.';
    p = WriteDigits(t.millisecond, 3, p);
    p = WriteText("\",\"thread\":", p);
    p = WriteInt(record.thread, p);
    p = WriteText(",\"file\":", p);
    p = WriteJsonString(record.file, p);
    p = WriteText(",\"line\":", p);
    p = WriteInt(record.line, p);
    p = WriteText(record.kind == RecordKind::Assert ? ",\"expression\":" : ",\"message\":", p);
    p = WriteJsonString(record.text, p);
    if (record.level) {
      p = WriteText(",\"level\":", p);
      p = WriteInt(*record.level, p);
    }
  } else {
    p = WriteText(",\"text\":", p);
    p = WriteJsonString(record.text, p);
  }
  p = WriteText(log.tail(), p);
  if (log.every_log_line() || record.log_line > 0) {
    p = WriteText(",\"log_line\":", p);
    p = WriteInt(record.log_line, p);
  }
  return WriteText("}\n", p);
}

std::string RecordJsonLine(const Record& record) {
  std::string out;
  AppendRecordJson(record, JsonLogFields::FromPath(record.log), out);
  return out;
}

void AppendPrintable(std::string_view text, size_t indent, std::string& out) {
  size_t i = 0;
  while (i < text.size()) {
    size_t run = i;
    while (run < text.size() && PlainAscii(static_cast<unsigned char>(text[run]))) ++run;
    out.append(text.data() + i, run - i);
    i = run;
    if (i == text.size()) break;
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\n') {
      out += '\n';
      out.append(indent, ' ');
      ++i;
    } else if (c == '\t') {
      out += "\\t";
      ++i;
    } else if (c == '\r') {
      out += "\\r";
      ++i;
    } else if (c < 0x80) {
      AppendHexEscape(c, false, out);
      ++i;
    } else {
      char32_t code_point;
      size_t valid_prefix;
      size_t length = DecodeUtf8(text, i, &code_point, &valid_prefix);
      if (length == 0) {
        for (size_t k = 0; k < valid_prefix; ++k) {
          AppendHexEscape(static_cast<unsigned char>(text[i + k]), false, out);
        }
        i += valid_prefix;
      } else if (ActsOnTerminal(code_point)) {
        AppendHexEscape(static_cast<unsigned>(code_point), true, out);
        i += length;
      } else {
        out.append(text.data() + i, length);
        i += length;
      }
    }
  }
}

size_t DisplayColumns(std::string_view text) {
  size_t columns = 0;
  size_t i = 0;
  while (i < text.size() && static_cast<unsigned char>(text[i]) < 0x80) ++i;
  if (i == text.size()) return i;
  columns = i;
  while (i < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      ++columns;
      ++i;
      continue;
    }
    char32_t code_point;
    size_t valid_prefix;
    size_t length = DecodeUtf8(text, i, &code_point, &valid_prefix);
    if (length == 0) {
      columns += valid_prefix;
      i += valid_prefix;
    } else {
      columns += static_cast<size_t>(CharWidth(code_point));
      i += length;
    }
  }
  return columns;
}

void TablePrinter::Print(const Record* records, size_t count, std::string& out) {
  std::string cell;
  for (size_t i = 0; i < count; ++i) {
    const Record& r = records[i];
    if (r.HasTime()) {
      cell.clear();
      AppendInt(r.thread, cell);
      thread_width_ = std::max(thread_width_, cell.size());
    }
    if (host_column_) host_width_ = std::max(host_width_, DisplayColumns(TerminalSafe(r.host)));
    // Each source cell is made once, for sizing and for printing.
    if (sources_.size() <= i) sources_.resize(i + 1);
    std::pair<std::string, size_t>& source = sources_[i];
    source.first.clear();
    AppendSource(r, scratch_, source.first);
    source.second = DisplayColumns(source.first);
    source_width_ = std::max(source_width_, source.second);
    cell.clear();
    LevelText(r, cell);
    level_width_ = std::max(level_width_, cell.size());
  }
  const size_t host_cells = host_column_ ? host_width_ + 2 : 0;
  const size_t text_column = kTimeWidth + 2 + host_cells + thread_width_ + 2 + source_width_ + 2 + level_width_ + 2;
  if (!header_done_ && count > 0) {
    header_done_ = true;
    if (color_) out += kBold;
    out += "TIME";
    Pad(out, 4, kTimeWidth + 2);
    if (host_column_) {
      out += "HOST";
      Pad(out, 4, host_cells);
    }
    out += "THREAD";
    Pad(out, 6, thread_width_ + 2);
    out += "SOURCE";
    Pad(out, 6, source_width_ + 2);
    Pad(out, 5, level_width_);
    out += "LEVEL  TEXT";
    if (color_) out += kReset;
    out += '\n';
  }
  for (size_t i = 0; i < count; ++i) {
    const Record& r = records[i];
    if (r.HasTime()) {
      AppendTime(r.time, ' ', out);
      out += "  ";
      if (host_column_) {
        std::string host = TerminalSafe(r.host);
        out += host;
        Pad(out, DisplayColumns(host), host_cells);
      }
      cell.clear();
      AppendInt(r.thread, cell);
      Pad(out, cell.size(), thread_width_);
      out += cell;
    } else if (host_column_) {
      Pad(out, 0, kTimeWidth + 2);
      std::string host = TerminalSafe(r.host);
      out += host;
      Pad(out, DisplayColumns(host), host_cells + thread_width_);
    } else {
      Pad(out, 0, kTimeWidth + 2 + thread_width_);
    }
    out += "  ";
    out += sources_[i].first;
    Pad(out, sources_[i].second, source_width_ + 2);
    cell.clear();
    LevelText(r, cell);
    Pad(out, cell.size(), level_width_);
    const char* level_color = nullptr;
    const char* text_color = nullptr;
    switch (r.kind) {
      case RecordKind::Runtime: level_color = kCyan; break;
      case RecordKind::Assert: level_color = kMagenta; break;
      case RecordKind::Fallback:
      case RecordKind::LastResort: level_color = text_color = kRed; break;
      case RecordKind::Unparsed: level_color = text_color = kYellow; break;
    }
    if (color_) out += level_color;
    out += cell;
    if (color_) out += kReset;
    out += "  ";
    if (color_ && text_color) out += text_color;
    AppendPrintable(r.text, text_column, out);
    if (color_ && text_color) out += kReset;
    out += '\n';
  }
}

void TablePrinter::Print(const std::vector<Record>& records, std::ostream& out) {
  std::string text;
  Print(records, text);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

char* OutputBuffer::Room(size_t n) {
  if (!text_.empty()) Flush();
  if (used_ + n > capacity_) {
    if (used_ > 0) Flush();
    if (n > capacity_) {
      capacity_ = std::max(n, kBlockBytes * 2);
      raw_.reset(new char[capacity_]);
    }
  }
  return raw_.get() + used_;
}

void OutputBuffer::Flush() {
  if (used_ > 0) {
    out_.write(raw_.get(), static_cast<std::streamsize>(used_));
    used_ = 0;
  }
  if (!text_.empty()) {
    out_.write(text_.data(), static_cast<std::streamsize>(text_.size()));
    text_.clear();
  }
  if (each_record_) out_.flush();
}

}  // namespace vqlog
