// The two ways `vqlog show` prints records: JSON Lines (one object per
// record, time in ISO 8601 with milliseconds) and an aligned table, coloured
// on a terminal; and the block buffer both write through.
#ifndef VQLOG_RECORD_OUTPUT_H_
#define VQLOG_RECORD_OUTPUT_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "log_reader.h"

namespace vqlog {

// What a record's JSON object says about the log it came from: "exe" and
// "pid" (when the file name follows the log name pattern) and "log".
class JsonLogFields {
 public:
  JsonLogFields(const std::string& path, const std::optional<std::string>& exe, std::optional<int64_t> pid);
  // From the path alone: exe and pid when its base name follows the pattern.
  static JsonLogFields FromPath(const std::string& path);
  // A log read from the central store: the keys its lines carry, host and
  // peer included; "log_line" only for a record that has one.
  static JsonLogFields FromStore(const std::string& log, const std::optional<std::string>& exe,
                                 std::optional<int64_t> pid, const std::optional<std::string>& host,
                                 const std::optional<std::string>& peer);
  // ,"exe":"...","pid":N,"log":"..."
  const std::string& tail() const { return tail_; }
  // Whether every record gets "log_line" (a log file read here), or only
  // one that has a line number (above 0).
  bool every_log_line() const { return every_log_line_; }

 private:
  JsonLogFields() = default;
  std::string tail_;
  bool every_log_line_ = true;
};

// {"kind":"runtime","time":"2026-12-08T09:05:03.007","thread":6401,
//  "file":"a.c","line":1,"message":"...","level":-1,"exe":"tool","pid":1234,
//  "log":"...","log_line":2}
// Assert records carry "expression" in place of "message" and no level;
// last-resort and unparsed lines carry "text" in place of time, thread, file,
// line, message and level. Bytes that are not UTF-8 become U+FFFD; the
// object ends with "\n".
void AppendRecordJson(const Record& record, const JsonLogFields& log, std::string& out);
// The same at a raw pointer with at least RecordJsonRoom bytes of room;
// returns the end of what was written.
size_t RecordJsonRoom(const Record& record, const JsonLogFields& log);
char* WriteRecordJson(const Record& record, const JsonLogFields& log, char* p);
std::string RecordJsonLine(const Record& record);
// A JSON string, quotes included, escaped as above.
void AppendJsonString(std::string_view text, std::string& out);

// Table text: C0 and C1 controls, DEL, bidirectional overrides and isolates
// and bytes that are not UTF-8 made visible (\t, \r, \xHH, \u{HHHH}); a line
// feed starts a new line indented by `indent` spaces.
void AppendPrintable(std::string_view text, size_t indent, std::string& out);
// Terminal columns of UTF-8 text: one per character, two for wide East
// Asian characters, none for combining marks; one per byte that is not
// UTF-8.
size_t DisplayColumns(std::string_view text);

// Prints records as columns TIME THREAD SOURCE LEVEL TEXT. Column widths
// grow with what has been printed, so a long run or a followed log stays
// roughly aligned: each call sizes the columns for its records first.
class TablePrinter {
 public:
  // `host_column`: a HOST column after TIME, for records of the central
  // store.
  explicit TablePrinter(bool color, bool host_column = false) : color_(color), host_column_(host_column) {}
  void Print(const Record* records, size_t count, std::string& out);
  void Print(const std::vector<Record>& records, std::string& out) { Print(records.data(), records.size(), out); }
  void Print(const std::vector<Record>& records, std::ostream& out);

 private:
  bool color_;
  bool host_column_;
  bool header_done_ = false;
  size_t host_width_ = 4;
  size_t thread_width_ = 6;
  size_t source_width_ = 6;
  size_t level_width_ = 6;
  std::string scratch_;
  std::vector<std::pair<std::string, size_t>> sources_;  // per record of a call: cell, columns
};

// Collects output and writes it in large blocks; with `each_record`, every
// Commit writes and flushes (when following).
class OutputBuffer {
 public:
  static constexpr size_t kBlockBytes = 256 * 1024;
  OutputBuffer(std::ostream& out, bool each_record) : out_(out), each_record_(each_record) {}
  ~OutputBuffer() { Flush(); }
  // Text to append to; Commit writes it out when the block is full.
  std::string& text() { return text_; }
  // Room for `n` bytes past what is there; Wrote(end) keeps what was
  // written up to `end`.
  char* Room(size_t n);
  void Wrote(char* end) { used_ = static_cast<size_t>(end - raw_.get()); }
  void Commit() {
    if (each_record_ || text_.size() + used_ >= kBlockBytes) Flush();
  }
  void Flush();
  bool failed() const { return !out_; }

 private:
  std::ostream& out_;
  bool each_record_;
  std::string text_;
  std::unique_ptr<char[]> raw_;
  size_t used_ = 0, capacity_ = 0;
};

}  // namespace vqlog

#endif  // VQLOG_RECORD_OUTPUT_H_
