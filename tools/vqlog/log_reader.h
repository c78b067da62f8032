// Reading the two kinds of log file the library writes, one physical line at
// a time, into records. The reader copes with everything a log can hold: the
// byte-order mark and header, runtime and assert records, fallback lines
// ("Log Message too Long" in the message column), the last-resort line
// ("Null Pointer Error" alone), assert expressions that carry tabs (extra
// columns) or line feeds (continuation lines), and lines it cannot read,
// which come out as kind Unparsed with their text unchanged.
#ifndef VQLOG_LOG_READER_H_
#define VQLOG_LOG_READER_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vqlog {

// A log time stamp: local time to the millisecond, as the library writes it.
struct Timestamp {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;

  // A number that orders time stamps (not a count of anything).
  int64_t SortKey() const;
  // "2026-12-08T09:05:03.007"
  std::string Iso() const;
  // "2026-12-08 09:05:03.007", for aligned tables.
  std::string Display() const;
};

// The log's own form "%d-%d-%d %d:%d:%d.%d", where the last number is a
// count of milliseconds: "2026-12-8 9:5:3.7" is 7 ms, ".70" is 70 ms.
std::optional<Timestamp> ParseLogTimestamp(std::string_view text);
// A time given on the command line: the log's own form, or ISO 8601 with a
// "T" ("2026-12-08T09:05:03.007", where ".7" is a decimal fraction, 700 ms).
// Seconds and milliseconds, or the whole time of day, may be left out.
std::optional<Timestamp> ParseUserTime(std::string_view text);

enum class RecordKind { Runtime, Assert, Fallback, LastResort, Unparsed };
const char* KindName(RecordKind kind);

struct Record {
  RecordKind kind = RecordKind::Unparsed;
  Timestamp time;             // Runtime, Assert, Fallback
  int64_t thread = 0;         // Runtime, Assert, Fallback
  std::string file;           // source file column
  int64_t line = 0;           // source line column
  std::string text;           // message, expression, or the raw line
  std::optional<int64_t> level;  // Runtime, Fallback
  std::string log;            // path of the log file it came from
  int64_t log_line = 0;       // first physical line number in that file (1-based)
  bool ended_with_cr = true;  // internal: how its last physical line ended

  bool HasTime() const {
    return kind == RecordKind::Runtime || kind == RecordKind::Assert || kind == RecordKind::Fallback;
  }
};

// Incremental reader for one log file: feed it bytes as they arrive.
class LogReader {
 public:
  // `path` names the records' log and hints at the file's kind ("_assert.log"
  // or "_runtime.log") until a header line says which it is.
  explicit LogReader(std::string path);

  // Reads every complete line in `bytes` (together with what earlier calls
  // left over) and appends finished records to `out`. The last record is
  // held back, since an assert record may go on in the next line.
  void Feed(std::string_view bytes, std::vector<Record>& out);
  // Hands out the held-back record. With `end_of_data`, a last line without
  // a line feed is read as well; otherwise it waits for the rest.
  void Flush(std::vector<Record>& out, bool end_of_data);

  int64_t unparsed_count() const { return unparsed_; }

 private:
  enum class FileKind { Unknown, Runtime, Assert };
  void ReadLine(std::string_view line, bool had_cr, std::vector<Record>& out);
  bool ParseRecordLine(std::string_view line, Record& record) const;

  std::string path_;
  FileKind kind_ = FileKind::Unknown;
  std::string partial_;
  std::optional<Record> held_;
  int64_t line_number_ = 0;
  int64_t unparsed_ = 0;
};

// Reads a whole file; false when it cannot be opened.
bool ReadLogFile(const std::string& path, std::vector<Record>& out, int64_t* unparsed, std::string* error);

// Orders records from several logs by time, keeping the given order for equal
// times. A record without a time (last-resort or unparsed line) keeps its
// place after the record that preceded it in its own log.
void MergeByTime(std::vector<std::vector<Record>> logs, std::vector<Record>& out);

}  // namespace vqlog

#endif  // VQLOG_LOG_READER_H_
