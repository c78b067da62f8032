#include "rsyslog_parse_command.h"

#include <cstdint>
#include <optional>
#include <vector>

#include "log_discovery.h"
#include "log_reader.h"
#include "record_output.h"

namespace vqlog {
namespace {

constexpr std::string_view kRawCookie = "@vqraw:";
constexpr std::string_view kRuntimeHeader = "\xEF\xBB\xBFTIMESTAMP\tTHREAD_ID\tFILENAME\tLINE_NUMBER\tLOGGED_DATA\tLEVEL\r\n";
constexpr std::string_view kAssertHeader = "\xEF\xBB\xBFTIMESTAMP\tTHREAD_ID\tFILENAME\tLINE_NUMBER\tEXPRESSION\r\n";

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ReadHex4(std::string_view text, size_t at, uint32_t* value) {
  if (at + 4 > text.size()) return false;
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i) {
    int d = HexDigit(text[at + i]);
    if (d < 0) return false;
    v = v * 16 + static_cast<uint32_t>(d);
  }
  *value = v;
  return true;
}

void AppendUtf8(uint32_t cp, std::string& out) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// A JSON string at text[*at] (its opening quote). Bytes that are not UTF-8
// are kept as they are: rsyslog passes a log's bytes through unchanged, and
// the record's JSON replaces them later exactly as `vqlog show` does.
bool ReadString(std::string_view text, size_t* at, std::string* out) {
  size_t i = *at;
  if (i >= text.size() || text[i] != '"') return false;
  ++i;
  out->clear();
  while (i < text.size()) {
    char c = text[i];
    if (c == '"') {
      *at = i + 1;
      return true;
    }
    if (c != '\\') {
      *out += c;
      ++i;
      continue;
    }
    if (++i >= text.size()) return false;
    switch (text[i]) {
      case '"': *out += '"'; break;
      case '\\': *out += '\\'; break;
      case '/': *out += '/'; break;
      case 'b': *out += '\b'; break;
      case 'f': *out += '\f'; break;
      case 'n': *out += '\n'; break;
      case 'r': *out += '\r'; break;
      case 't': *out += '\t'; break;
      case 'u': {
        uint32_t cp = 0, low = 0;
        if (!ReadHex4(text, i + 1, &cp)) return false;
        i += 4;
        if (cp >= 0xD800 && cp < 0xDC00 && i + 2 < text.size() && text[i + 1] == '\\' && text[i + 2] == 'u' &&
            ReadHex4(text, i + 3, &low) && low >= 0xDC00 && low < 0xE000) {
          cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          i += 6;
        } else if (cp >= 0xD800 && cp < 0xE000) {
          cp = 0xFFFD;  // a lone surrogate
        }
        AppendUtf8(cp, *out);
        break;
      }
      default:
        return false;
    }
    ++i;
  }
  return false;
}

void SkipSpace(std::string_view text, size_t* at) {
  while (*at < text.size() && (text[*at] == ' ' || text[*at] == '\t')) ++*at;
}

// {"log":"...","raw":"..."} in either order, nothing else.
bool ReadRawMessage(std::string_view body, std::string* log, std::string* raw) {
  size_t i = 0;
  SkipSpace(body, &i);
  if (i >= body.size() || body[i++] != '{') return false;
  bool have_log = false, have_raw = false;
  std::string key;
  for (;;) {
    SkipSpace(body, &i);
    if (!ReadString(body, &i, &key)) return false;
    SkipSpace(body, &i);
    if (i >= body.size() || body[i++] != ':') return false;
    SkipSpace(body, &i);
    if (key == "log" && !have_log) {
      if (!ReadString(body, &i, log)) return false;
      have_log = true;
    } else if (key == "raw" && !have_raw) {
      if (!ReadString(body, &i, raw)) return false;
      have_raw = true;
    } else {
      return false;
    }
    SkipSpace(body, &i);
    if (i < body.size() && body[i] == ',') {
      ++i;
      continue;
    }
    if (i < body.size() && body[i] == '}') break;
    return false;
  }
  SkipSpace(body, &++i);
  return i == body.size() && have_log && have_raw;
}

std::string_view BaseName(std::string_view path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string RsyslogParseAnswer(std::string_view message) {
  while (!message.empty() && message.front() == ' ') message.remove_prefix(1);
  if (message.substr(0, kRawCookie.size()) != kRawCookie) return "{}";
  std::string log, raw;
  if (!ReadRawMessage(message.substr(kRawCookie.size()), &log, &raw)) return "{}";

  // The edge sends one record without its final LF (imfile takes that off).
  // It is read as the
  // only record of a log of its kind: after that log's header, so that a
  // record line that looks like a header is read as `vqlog show` reads it.
  std::optional<LogFileName> name = ParseLogFileName(BaseName(log));
  bool assert_log = BaseName(log).size() >= 11 &&
                    BaseName(log).substr(BaseName(log).size() - 11) == "_assert.log";
  std::string bytes(assert_log ? kAssertHeader : kRuntimeHeader);
  bytes += raw;
  bytes += raw.empty() || raw.back() != '\r' ? "\r\n" : "\n";
  if (!raw.empty() && raw.back() == '\r') raw.pop_back();
  RecordParser parser(log);
  std::vector<Record> records;
  parser.Feed(bytes, records);
  parser.Flush(records, true);
  if (records.empty()) return "{}";

  // Lines the edge took for one record that vqlog reads as several (it
  // groups by the same rules, so only a log cut short can do this) go out as
  // one unparsed line, nothing dropped.
  Record record = std::move(records.front());
  if (records.size() > 1) {
    record = Record();
    record.kind = RecordKind::Unparsed;
    record.text = raw;
  }
  record.log_line = 0;
  JsonLogFields fields = name ? JsonLogFields::FromStore(log, name->exe, name->pid, std::nullopt, std::nullopt)
                              : JsonLogFields::FromStore(log, std::nullopt, std::nullopt, std::nullopt, std::nullopt);
  std::string json;
  AppendRecordJson(record, fields, json);
  if (!json.empty() && json.back() == '\n') json.pop_back();
  std::string answer = "{\"msg\":";
  AppendJsonString("@cee:" + json, answer);
  answer += '}';
  return answer;
}

int RunRsyslogParse(std::istream& in, std::ostream& out) {
  std::string line;
  while (std::getline(in, line)) {
    out << RsyslogParseAnswer(line) << '\n';
    out.flush();
  }
  return 0;
}

}  // namespace vqlog
