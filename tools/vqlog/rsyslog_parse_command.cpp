#include "rsyslog_parse_command.h"

#include <cstdint>
#include <optional>
#include <vector>

#include "json_object.h"
#include "log_discovery.h"
#include "log_reader.h"
#include "record_output.h"

namespace vqlog {
namespace {

constexpr std::string_view kRawCookie = "@vqraw:";

std::string_view BaseName(std::string_view path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string RsyslogParseAnswer(std::string_view line) {
  // mmexternal hands on the whole message as one JSON object (fulljson), so
  // a line feed inside a message can never split it in two; its text is
  // "msg". A log's bytes that are not UTF-8 stay as they are in it.
  JsonObject object;
  if (!object.Parse(line)) return "{}";
  const JsonValue* msg = object.Find("msg");
  if (msg == nullptr || msg->type != JsonValue::Type::String) return "{}";
  std::string_view message = msg->text;
  while (!message.empty() && message.front() == ' ') message.remove_prefix(1);
  if (message.substr(0, kRawCookie.size()) != kRawCookie) return "{}";
  // {"log":PATH,"raw":TEXT} in either order, nothing else.
  JsonObject body;
  if (!body.Parse(message.substr(kRawCookie.size())) || body.size() != 2) return "{}";
  const JsonValue* log_value = body.Find("log");
  const JsonValue* raw_value = body.Find("raw");
  if (log_value == nullptr || raw_value == nullptr || log_value->type != JsonValue::Type::String ||
      raw_value->type != JsonValue::Type::String) {
    return "{}";
  }
  const std::string& log = log_value->text;
  std::string raw = raw_value->text;

  // The edge sends one record without its final LF (imfile takes that off).
  // It is read as the
  // only record of a log of its kind: after that log's header, so that a
  // record line that looks like a header is read as `vqlog show` reads it.
  std::optional<LogFileName> name = ParseLogFileName(BaseName(log));
  bool assert_log = BaseName(log).size() >= 11 &&
                    BaseName(log).substr(BaseName(log).size() - 11) == "_assert.log";
  std::string bytes(kByteOrderMark);
  bytes += assert_log ? kAssertHeader : kRuntimeHeader;
  bytes += "\r\n";
  bytes += raw;
  bytes += raw.empty() || raw.back() != '\r' ? "\r\n" : "\n";
  if (!raw.empty() && raw.back() == '\r') raw.pop_back();
  RecordParser parser(log);
  std::vector<Record> records;
  parser.Feed(bytes, records);
  parser.Flush(records, true);
  if (records.empty()) return "{}";

  // Lines the edge took for one record that vqlog reads as several (a NUL
  // byte hides a line end from rsyslogd) go out as one unparsed line,
  // nothing dropped.
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
