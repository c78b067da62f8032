#include "record_output.h"

#include <algorithm>
#include <cstdio>

namespace vqlog {
namespace {

constexpr const char* kReset = "\x1b[0m";
constexpr const char* kBold = "\x1b[1m";
constexpr const char* kRed = "\x1b[1;31m";
constexpr const char* kYellow = "\x1b[33m";
constexpr const char* kMagenta = "\x1b[35m";
constexpr const char* kCyan = "\x1b[36m";
constexpr size_t kMaxSourceWidth = 40;

// Makes control characters visible; a line feed starts a new line indented
// to the text column.
std::string Printable(const std::string& text, size_t indent) {
  std::string out;
  for (unsigned char c : text) {
    if (c == '\n') {
      out += '\n';
      out.append(indent, ' ');
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c == 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string Source(const Record& record) {
  if (!record.HasTime()) return "";
  std::string source = Printable(record.file, 0) + ":" + std::to_string(record.line);
  if (source.size() > kMaxSourceWidth) source = "..." + source.substr(source.size() - (kMaxSourceWidth - 3));
  return source;
}

std::string LevelText(const Record& record) {
  switch (record.kind) {
    case RecordKind::Assert: return "ASSERT";
    case RecordKind::LastResort: return "!";
    case RecordKind::Unparsed: return "?";
    default: return record.level ? std::to_string(*record.level) : "";
  }
}

void Pad(std::ostream& out, size_t used, size_t width) {
  for (size_t i = used; i < width; ++i) out << ' ';
}

}  // namespace

nlohmann::ordered_json RecordToJson(const Record& record) {
  nlohmann::ordered_json j;
  j["kind"] = KindName(record.kind);
  if (record.HasTime()) {
    j["time"] = record.time.Iso();
    j["thread"] = record.thread;
    j["file"] = record.file;
    j["line"] = record.line;
    j[record.kind == RecordKind::Assert ? "expression" : "message"] = record.text;
    if (record.level) j["level"] = *record.level;
  } else {
    j["text"] = record.text;
  }
  j["log"] = record.log;
  j["log_line"] = record.log_line;
  return j;
}

std::string RecordJsonLine(const Record& record) {
  return RecordToJson(record).dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

void TablePrinter::Print(const std::vector<Record>& records, std::ostream& out) {
  for (const Record& r : records) {
    thread_width_ = std::max(thread_width_, r.HasTime() ? std::to_string(r.thread).size() : 0);
    source_width_ = std::max(source_width_, Source(r).size());
    level_width_ = std::max(level_width_, LevelText(r).size());
  }
  const size_t time_width = 23;
  const size_t text_column = time_width + 2 + thread_width_ + 2 + source_width_ + 2 + level_width_ + 2;
  if (!header_done_ && !records.empty()) {
    header_done_ = true;
    if (color_) out << kBold;
    out << "TIME";
    Pad(out, 4, time_width + 2);
    out << "THREAD";
    Pad(out, 6, thread_width_ + 2);
    out << "SOURCE";
    Pad(out, 6, source_width_ + 2);
    Pad(out, 5, level_width_);
    out << "LEVEL  TEXT";
    if (color_) out << kReset;
    out << '\n';
  }
  for (const Record& r : records) {
    std::string time = r.HasTime() ? r.time.Display() : "";
    std::string thread = r.HasTime() ? std::to_string(r.thread) : "";
    std::string source = Source(r);
    std::string level = LevelText(r);
    out << time;
    Pad(out, time.size(), time_width + 2);
    Pad(out, thread.size(), thread_width_);
    out << thread << "  " << source;
    Pad(out, source.size(), source_width_ + 2);
    Pad(out, level.size(), level_width_);
    const char* level_color = nullptr;
    const char* text_color = nullptr;
    switch (r.kind) {
      case RecordKind::Runtime: level_color = kCyan; break;
      case RecordKind::Assert: level_color = kMagenta; break;
      case RecordKind::Fallback:
      case RecordKind::LastResort: level_color = text_color = kRed; break;
      case RecordKind::Unparsed: level_color = text_color = kYellow; break;
    }
    if (color_) out << level_color;
    out << level;
    if (color_) out << kReset;
    out << "  ";
    if (color_ && text_color) out << text_color;
    out << Printable(r.text, text_column);
    if (color_ && text_color) out << kReset;
    out << '\n';
  }
}

}  // namespace vqlog
