// Reading the fleet's central store: JSON Lines files (*.jsonl), one object
// a line with the keys of `vqlog show --json`, plus "host" (the name the edge
// claims) and "peer" (the address it sent from).
//
// A store file interleaves the logs of a host's processes in the order their
// lines arrived; each log's own lines are in its order. So a file is read as
// lanes, one per log (host, peer, exe, pid and the log's path on the edge,
// which tells a process's runtime log from its assert log), and the lanes
// are merged like log files. The store's own lines that are no record (not
// an object, or without the keys and types of their kind) form one more
// lane, of kind unparsed, placed after the record before them in the file.
//
// A re-sent record (equal in every value to one of the last records of its
// lane) is dropped and counted. A lane remembers its recent records by a hash
// and the offset of their line; a hash that matches is confirmed by reading
// that line again and comparing the values, so a distinct record whose hash
// collides is kept. Memory is bounded: records read ahead for other lanes
// share a fixed budget, and a lane that would pass it reads on later from
// where it stopped, through the same descriptor. A lane holds no buffer,
// queue or memory of records while it waits with nothing in them: a store of
// many small lanes costs little more than its index.
#ifndef VQLOG_STORE_READER_H_
#define VQLOG_STORE_READER_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "input_source.h"
#include "json_object.h"
#include "log_reader.h"

namespace vqlog {

// Where a store record comes from: the keys that place it.
struct StoreOrigin {
  std::optional<std::string> host, peer, exe;
  std::optional<int64_t> pid;
  std::string log;         // the log's path on the edge (the store file's, for its own lines)
  bool own_lines = false;  // the store's own lines that are no record
};

// Reads one store line (without its line end) into `record` (all but
// merge_key) and `origin`: true when it is an object with a known "kind"
// and every key that kind has, of its type ("time" as
// "2026-12-08T09:05:03.007"; "log" for all kinds; "exe", "pid", "host",
// "peer" and "log_line" when present). Other keys are ignored. False
// otherwise; `object` is scratch space.
bool ParseStoreLine(std::string_view line, JsonObject& object, Record* record, StoreOrigin* origin);

// Which lanes are read: by the keys of their records.
struct StoreSelection {
  std::optional<std::string> exe;
  std::optional<int64_t> pid;
  std::optional<std::string> host;  // equal to "host" or to "peer"
};

// The values a re-sent record repeats: all but its place (log, host).
uint64_t ResendHash(const Record& record);
bool SameValues(const Record& a, const Record& b);

// Drops a record equal to one of the last `window` records it was given.
// It keeps only their hashes and where their lines are; `same(where)` tells
// whether the record at `where` has the values of the one asked about.
class ResendFilter {
 public:
  using Hash = uint64_t (*)(const Record&);
  explicit ResendFilter(size_t window, Hash hash = ResendHash) : window_(window < 1 ? 1 : window), hash_(hash) {}
  // True when `record` (its line at `where`) equals a recent one; it is
  // then not remembered again.
  template <typename Same>
  bool Seen(const Record& record, int64_t where, Same&& same) {
    const uint64_t h = hash_(record);
    if (recent_.count(h) != 0) {
      // Newest first: a re-sent record is most likely a recent one.
      for (size_t n = 0; n < ring_.size(); ++n) {
        const Entry& e = ring_[(next_ + ring_.size() - 1 - n) % ring_.size()];
        if (e.hash == h && same(e.where)) return true;
      }
    }
    Remember(h, where);
    return false;
  }

 private:
  struct Entry {
    uint64_t hash;
    int64_t where;
  };
  void Remember(uint64_t hash, int64_t where);
  size_t window_;
  Hash hash_;
  std::vector<Entry> ring_;  // the last records, oldest at next_ once full
  size_t next_ = 0;
  std::unordered_map<uint64_t, uint32_t> recent_;  // hash => how many in ring_
};

// Records read ahead for the lanes not being read, shared by the store
// files of one reading.
struct StoreReadAhead {
  size_t max_records = 65536;  // that may wait at once
  size_t max_bytes = 32 << 20;
  size_t records = 0, bytes = 0;  // waiting now
};

struct StoreLane {
  StoreOrigin origin;
  bool selected = true;
  int64_t first_offset = 0, last_offset = 0;  // of its first and its last line
  int64_t first_key = 0;                      // merge key of its first line
  // What Index found in it (re-sent records left out when asked):
  int64_t records = 0;         // not counting unparsed and last-resort lines
  int64_t assert_records = 0;
  int64_t bytes = 0;           // of its lines, line ends included
  std::optional<Timestamp> first, last;
};

class StoreReader {
 public:
  static constexpr size_t kDefaultChunkBytes = 256 << 10;
  // `read_ahead`: shared with the other store files read at once (nullptr:
  // this file's own). `chunk_bytes`: the size of its reads.
  StoreReader(std::string path, StoreSelection selection, StoreReadAhead* read_ahead = nullptr,
              size_t chunk_bytes = kDefaultChunkBytes);
  ~StoreReader();
  StoreReader(const StoreReader&) = delete;
  StoreReader& operator=(const StoreReader&) = delete;

  bool ok() const { return opened_; }  // false when it could not be opened (error() says why)
  const std::string& error() const { return error_; }
  const std::string& path() const { return path_; }

  // Reads the file once and finds its lanes, in the order they first show.
  // With `drop_resent`, the lanes' counts leave re-sent records out. False
  // on a read error.
  bool Index(bool drop_resent);
  size_t lane_count() const { return lanes_.size(); }
  // How many recent records of each lane are remembered to find re-sent
  // ones; set before reading (the store files of one reading share a
  // budget).
  void SetResendWindow(size_t records) { resend_window_ = records; }
  // The hash re-sent records are found by (tests give a weak one).
  void SetResendHash(ResendFilter::Hash hash) { resend_hash_ = hash; }
  const StoreLane& lane(size_t i) const { return lanes_[i].info; }

  // After Index: the lane's next record, in its order, re-sent records
  // dropped, merge_key set; false at its end or on a read error.
  bool Next(size_t lane, Record* record);

  // Following (no Index): the next complete line's record in file order and
  // its lane (a new lane is added when it first shows); false when nothing
  // complete is there yet, or on a read error.
  bool NextInFileOrder(size_t* lane, Record* record);
  // Notices the followed file truncated or replaced, and reads it again
  // from its start (lanes stay, their memory of recent records is cleared).
  InputSource::Change CheckFollowed();
  int64_t bytes_read() const;

  int64_t unparsed_lines() const { return unparsed_; }  // lines that are no store record
  int64_t resent() const { return resent_; }            // re-sent records dropped
  int64_t cut_lines() const { return cut_lines_; }
  bool unterminated_end() const { return unterminated_; }
  bool read_failed() const { return read_failed_; }

  static constexpr size_t kMaxLineBytes = 1 << 20;

 private:
  // A place in the file and what reading up to it told.
  struct Cursor {
    std::unique_ptr<char[]> buffer;
    size_t capacity = 0, begin = 0, end = 0;  // unread bytes: buffer[begin, end)
    int64_t buffer_offset = 0;                // file offset of buffer[0]
    int64_t line_number = 0;                  // lines read
    int64_t last_time_key = INT64_MIN;        // of the last record with a time read
    bool eof = false;
    bool skipping = false;                    // inside a line cut at kMaxLineBytes
    int64_t offset() const { return buffer_offset + static_cast<int64_t>(begin); }
  };
  struct Lane {
    StoreLane info;
    std::list<Record> queue;          // read ahead by the lead, in its order (no memory when empty)
    std::unique_ptr<Cursor> cursor;   // its own, once it stopped sharing the lead
    std::unique_ptr<ResendFilter> resend;
    int64_t last_time_key = INT64_MIN;  // of its last record with a time taken
    bool detached = false, done = false;
  };

  bool ReadLine(Cursor& c, std::string_view* line, int64_t* at);
  bool Fill(Cursor& c);
  // The lane of a line just read, creating it (when `add`) if new; the
  // record in `*record`. npos when the lane is new and not added.
  size_t Classify(std::string_view line, int64_t at, Cursor& c, bool add, Record* record);
  // Takes a record (its line at `at`) into its lane's order: false when it
  // is re-sent.
  bool Take(Lane& lane, Record& record, int64_t at);
  // Whether the line at `at` holds a record with the values of `record`.
  bool SameAsLineAt(int64_t at, const Record& record);
  void ResetCursor(Cursor& c, int64_t offset, size_t capacity);

  std::string path_;
  StoreSelection selection_;
  InputSource source_;
  int64_t source_offset_ = 0;  // where the descriptor is
  int64_t read_end_ = 0;       // how far the file was read
  int64_t indexed_end_ = INT64_MAX;
  bool opened_ = false;
  bool follow_ = false;
  std::string error_;
  std::deque<Lane> lanes_;  // grows without moving (or twice holding) the lanes
  std::unordered_map<std::string, size_t> lane_of_;
  std::string key_;  // scratch
  JsonObject object_;
  StoreOrigin origin_;
  Record scratch_;
  Cursor lead_;
  StoreReadAhead own_read_ahead_;
  StoreReadAhead* read_ahead_;
  size_t chunk_bytes_;
  size_t resend_window_ = 0;
  ResendFilter::Hash resend_hash_ = ResendHash;
  std::string again_;  // a line read again, to compare
  JsonObject again_object_;
  Record again_record_;
  StoreOrigin again_origin_;
  std::string prefix_;  // the first bytes, to notice a rewritten file when following
  int64_t unparsed_ = 0, resent_ = 0, cut_lines_ = 0;
  bool unterminated_ = false, read_failed_ = false;
  bool counting_ = false;  // this pass counts unparsed and cut lines (each is read by one counting pass)
};

}  // namespace vqlog

#endif  // VQLOG_STORE_READER_H_
