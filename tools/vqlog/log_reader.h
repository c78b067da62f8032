// Reading the two kinds of log file the library writes, one physical line at
// a time, into records. The reader copes with everything a log can hold: the
// byte-order mark and header, runtime and assert records, fallback lines
// ("Log Message too Long" in the message column), the last-resort line
// ("Null Pointer Error" alone), assert expressions that carry tabs (extra
// columns) or line feeds (continuation lines), and lines it cannot read,
// which come out as kind Unparsed with their text unchanged.
#ifndef VQLOG_LOG_READER_H_
#define VQLOG_LOG_READER_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "input_source.h"

namespace vqlog {

// The first line of each kind of log, after its byte-order mark.
inline constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
inline constexpr std::string_view kRuntimeHeader =
    "TIMESTAMP\tTHREAD_ID\tFILENAME\tLINE_NUMBER\tLOGGED_DATA\tLEVEL";
inline constexpr std::string_view kAssertHeader = "TIMESTAMP\tTHREAD_ID\tFILENAME\tLINE_NUMBER\tEXPRESSION";

// A log time stamp: local time to the millisecond, as the library writes it.
struct Timestamp {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;

  // A number that orders time stamps (not a count of anything). Years are
  // at most 99999, so it cannot overflow.
  int64_t SortKey() const;
  // "2026-12-08T09:05:03.007"
  std::string Iso() const;
  // "2026-12-08 09:05:03.007", for aligned tables.
  std::string Display() const;
};

// The log's own form "%d-%d-%d %d:%d:%d.%d", where the last number is a
// count of milliseconds: "2026-12-8 9:5:3.7" is 7 ms, ".70" is 70 ms. The
// date must exist (no 31 February) and the year be at most 99999.
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
  std::string host;           // a store record's host as claimed (else its peer); "" for a log file's
  int64_t log_line = 0;       // first physical line number in that file (1-based)
  // Where the log goes on after the record: the byte offset just past its
  // last line end and that next line's number (for resuming a follow).
  int64_t next_offset = 0;
  int64_t next_line = 0;
  bool ended_with_cr = true;  // internal: how its last physical line ended
  // Where it goes in a merge on time: its time's sort key; for a line
  // without a time, the key of the record before it in its log, also when
  // a filter dropped that record (INT64_MIN when there is none).
  int64_t merge_key = std::numeric_limits<int64_t>::min();

  bool HasTime() const {
    return kind == RecordKind::Runtime || kind == RecordKind::Assert || kind == RecordKind::Fallback;
  }
};

// Incremental parser of one log's bytes: feed it bytes as they arrive.
//
// Every line the library writes ends in CR LF, so a line feed without a
// carriage return before it is part of the record (an assert expression or a
// source file name holding a line feed): the line after it goes on with the
// same record, whatever it looks like. A line that follows CR LF and is not a
// record goes on with an assert record before it (an expression holding CR
// LF); anywhere else it is unparsed. The header is read only as the first
// line. A line longer than kMaxLineBytes keeps its first kMaxLineBytes bytes;
// the rest is skipped. A last line without CR LF at the end of the data was
// cut short: it is unparsed.
class RecordParser {
 public:
  static constexpr size_t kMaxLineBytes = 64 * 1024;

  // `path` names the records' log and hints at the file's kind ("_assert.log"
  // or "_runtime.log") until a header line says which it is.
  explicit RecordParser(std::string path);

  // Records whose lines do not hold `text` are dropped unread; the filter
  // itself still decides on the rest. Empty: none is dropped.
  void SetGrep(std::string text);

  // Reads lines from the front of `data` until a record is finished: then
  // moves it to `*record` and returns true, leaving the rest in `data`.
  // Returns false once `data` is used up; a line without its end is kept for
  // the next call. With `end_of_data`, that line is read as cut short and the
  // held-back record handed out.
  bool Take(std::string_view& data, bool end_of_data, Record* record);
  // Hands out the held-back record, if any (when following a quiet file).
  bool ReleaseHeld(Record* record);
  // Whether the held-back record is an assert record, which a later line
  // may still go on with.
  bool holds_assert() const { return has_held_ && held_wanted_ && held_.kind == RecordKind::Assert; }
  // Forgets everything, as for a new file.
  void Reset();
  // Goes on in the middle of a log: the next byte fed is at `offset`, the
  // start of physical line `line` (> 1), in a file whose header said
  // `assert_log` (nullopt: no header read). Nothing held is kept.
  void ResumeAt(int64_t line, int64_t offset, std::optional<bool> assert_log);
  // What the header said: assert log, runtime log, or nullopt (none read).
  std::optional<bool> assert_log() const;

  // The old interface, for whole batches.
  void Feed(std::string_view bytes, std::vector<Record>& out);
  void Flush(std::vector<Record>& out, bool end_of_data);

  int64_t unparsed_count() const { return unparsed_; }
  int64_t cut_lines() const { return cut_lines_; }        // longer than kMaxLineBytes
  bool unterminated_end() const { return unterminated_; }  // the data ended inside a line
  bool missing_header() const { return missing_header_; }
  int64_t physical_lines() const { return physical_lines_; }

 private:
  enum class FileKind { Unknown, Runtime, Assert };
  // One logical line: its physical lines joined, without the final CR LF.
  void ReadLine(std::string_view line, bool terminated, bool* emitted, Record* record);
  bool ParseRecordLine(std::string_view line, Record& record);
  bool EmitHeld(Record* record);
  void FinishRecord(int64_t first_line, bool wanted);
  void AppendPending(std::string_view bytes);
  void SkipUnwanted(std::string_view& data);
  void Consume(std::string_view& data, size_t n) {
    data.remove_prefix(n);
    consumed_ += static_cast<int64_t>(n);
  }
  void MarkEnd(Record& record) const {
    record.next_offset = consumed_;
    record.next_line = physical_lines_ + 1;
  }

  std::string path_;
  FileKind kind_ = FileKind::Unknown;
  FileKind kind_from_name_ = FileKind::Unknown;
  std::string grep_;
  std::string pending_;      // a logical line begun but not ended
  bool pending_cut_ = false;
  bool last_byte_cr_ = false;
  int64_t pending_first_line_ = 0;
  Record held_;
  Record scratch_;  // the line being parsed, swapped with held_
  bool has_held_ = false;
  bool held_wanted_ = false;  // false: the grep text is not in it, drop it
  bool held_copied_ = false;  // false: only its kind is known (a dropped runtime record)
  std::vector<size_t> tabs_;
  const char* slow_from_ = nullptr;  // a stretch of the data to read line by line
  const char* slow_until_ = nullptr;
  int64_t physical_lines_ = 0;
  int64_t consumed_ = 0;  // bytes of the file taken in so far
  int64_t last_time_key_ = std::numeric_limits<int64_t>::min();  // of the last record line read
  int64_t unparsed_ = 0;
  int64_t cut_lines_ = 0;
  bool unterminated_ = false;
  bool missing_header_ = false;
  bool finished_ = false;
};

class LogReader;

// Caps how many readers hold an open regular file at once. Opening one more
// past the cap parks the reader that read least recently: its file is
// closed, its buffer and place kept, and it opens the file again where it
// was when it next needs bytes. Streams are never parked nor counted.
class OpenFileBudget {
 public:
  explicit OpenFileBudget(size_t max_open) : max_open_(max_open < 1 ? 1 : max_open) {}
  OpenFileBudget(const OpenFileBudget&) = delete;
  OpenFileBudget& operator=(const OpenFileBudget&) = delete;
  size_t reopens() const { return reopens_; }

 private:
  friend class LogReader;
  void MakeRoom();
  void Add(LogReader* reader);
  void Touch(LogReader* reader);
  void Remove(LogReader* reader);

  std::list<LogReader*> open_;  // most recently read first
  size_t max_open_;
  size_t reopens_ = 0;
};

// Streaming reader of one log: a file, a FIFO, or "-" for standard input. It
// reads in large chunks, never seeks, and holds at most one chunk, one line
// and one record.
class LogReader {
 public:
  // Small enough that a chunk is still in the cache when it is scanned
  // after the read that copied it in.
  static constexpr size_t kDefaultChunkBytes = 128 * 1024;

  // `regular_only`: refuse anything but a regular file, without blocking
  // (a file found in a directory scan).
  // `budget`: shared by readers whose number may pass the descriptor limit.
  explicit LogReader(std::string path, size_t chunk_bytes = kDefaultChunkBytes, bool regular_only = false,
                     OpenFileBudget* budget = nullptr);
  ~LogReader();
  LogReader(const LogReader&) = delete;
  LogReader& operator=(const LogReader&) = delete;

  bool ok() const { return opened_; }  // false when it could not be opened; error() says why
  const std::string& error() const { return error_; }
  // Next record in file order; false at the end or on a read error
  // (read_failed() then tells, error() says why).
  bool Next(Record* record);

  const std::string& path() const { return path_; }
  bool read_failed() const { return read_failed_; }
  bool regular_file() const { return source_.regular_file(); }
  int64_t bytes_read() const { return offset_; }
  const RecordParser& parser() const { return parser_; }
  RecordParser& parser() { return parser_; }

  // Following: at the end of the data Next returns false but keeps a line
  // without its end and the held-back record; a later Next reads on.
  void SetFollow(bool follow) { follow_ = follow; }
  bool ReleaseHeld(Record* record) { return parser_.ReleaseHeld(record); }
  // Notices a followed file truncated, or replaced by another file, and
  // starts reading it again from its first byte.
  InputSource::Change CheckFollowed();
  // Reads a regular file on from `offset`, the start of physical line
  // `line` (see RecordParser::ResumeAt); false when it cannot seek there.
  bool ResumeAt(int64_t line, int64_t offset, std::optional<bool> assert_log);
  // Device (volume) and file number of the regular file being read.
  const uint64_t* identity() const { return source_.identity(); }

 private:
  friend class OpenFileBudget;
  bool Fill();
  void CloseSource();

  std::string path_;
  OpenFileBudget* budget_ = nullptr;
  std::list<LogReader*>::iterator budget_place_;
  bool in_budget_ = false;
  size_t chunk_bytes_;
  InputSource source_;
  RecordParser parser_;
  std::unique_ptr<char[]> buffer_;
  std::string_view unread_;
  std::string prefix_;  // the first bytes read, to notice a rewritten file
  int64_t offset_ = 0;
  bool opened_ = false;
  bool end_ = false;
  bool read_failed_ = false;
  bool follow_ = false;
  std::string error_;
};

// An assert record is held back this long after its log went quiet, for a
// line that goes on with it; a runtime record cannot go on and is not held.
constexpr int kAssertHoldMilliseconds = 1000;

// One poll of a followed log, `elapsed_ms` after the last: reads records into
// `out` until it holds `share`, then hands out the held-back record once no
// line can go on with it. `quiet_ms` counts how long the log has not grown.
// True when it stopped at its share (there may be more to read at once).
bool PollFollowed(LogReader& reader, int elapsed_ms, size_t share, int& quiet_ms, std::deque<Record>& out);

// Reads a whole file; false when it cannot be opened or read.
bool ReadLogFile(const std::string& path, std::vector<Record>& out, int64_t* unparsed, std::string* error);

// Orders records from several logs by time, keeping the given order for equal
// times. A record without a time (last-resort or unparsed line) keeps its
// place after the record that preceded it in its own log.
void MergeByTime(std::vector<std::vector<Record>> logs, std::vector<Record>& out);

}  // namespace vqlog

#endif  // VQLOG_LOG_READER_H_
