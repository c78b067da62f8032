#include "show_command.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <filesystem>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <queue>
#include <set>
#include <sstream>
#include <thread>
#include <utility>

#include "console.h"
#include "input_source.h"
#include "log_reader.h"
#include "record_output.h"
#include "store_reader.h"

namespace vqlog {
namespace {

// The read buffers of all logs of a merge share this much memory, each
// between the two chunk sizes: many logs read in smaller chunks.
constexpr size_t kBufferBudgetBytes = 24 << 20;
constexpr size_t kMinChunkBytes = 8 << 10;
constexpr size_t kTableBatch = 1024;
// Recent records remembered to find re-sent ones: this many for all lanes
// of all store files together, each lane between the two bounds.
constexpr size_t kResendBudget = 262144;
constexpr size_t kMinResendWindow = 1024, kMaxResendWindow = 65536;

size_t ChunkBytesFor(size_t logs) {
  size_t share = kBufferBudgetBytes / (logs > 0 ? logs : 1);
  share = std::min(std::max(share, kMinChunkBytes), LogReader::kDefaultChunkBytes);
  return share & ~static_cast<size_t>(4095);
}

// One log in the merge, with the record that is its next to go out: a log
// file, or one lane of a store file.
struct MergeInput {
  const LogSource* source = nullptr;
  JsonLogFields json;
  std::unique_ptr<LogReader> reader;
  StoreReader* store = nullptr;
  size_t lane = 0;
  bool loaded = true;  // false: a lane's first record is not read yet, its key known from the index
  Record head;
  int64_t key = 0;
  bool finished = false;

  MergeInput(const LogSource* s, JsonLogFields fields) : source(s), json(std::move(fields)) {}
};

JsonLogFields FieldsOfLane(const StoreLane& lane) {
  const StoreOrigin& o = lane.origin;
  return JsonLogFields::FromStore(o.log, o.exe, o.pid, o.host, o.peer);
}

StoreSelection StoreSelectionOf(const LogSelection& selection) {
  return {selection.exe, selection.pid, selection.host};
}

class Notes {
 public:
  explicit Notes(std::ostream& err) : err_(err) {}

  // What a finished log held that the reader could not read as the library
  // writes it.
  // A log that could not be read any more, said at once (a follow ends by
  // a stop, after which Finished says nothing of it).
  void ReadFailed(const std::string& path, const std::string& error) {
    err_ << "vqlog: cannot read " << TerminalSafe(path) << ": " << TerminalSafe(error) << "\n";
    status_ = kShowUnreadable;
  }
  void ReadFailed(const LogReader& reader) { ReadFailed(reader.path(), reader.error()); }

  void Finished(const LogReader& reader) {
    const RecordParser& p = reader.parser();
    const std::string path = TerminalSafe(reader.path());
    if (reader.read_failed() && !StopRequested()) {
      err_ << "vqlog: cannot read " << path << ": " << TerminalSafe(reader.error()) << "\n";
      status_ = kShowUnreadable;
    }
    if (p.missing_header() && p.physical_lines() > 0) {
      err_ << "vqlog: " << path << ": no header line\n";
    }
    if (p.unparsed_count() > 0) {
      err_ << "vqlog: " << path << ": " << p.unparsed_count() << (p.unparsed_count() == 1 ? " line" : " lines")
           << " not in the log format, shown as unparsed\n";
    }
    if (p.cut_lines() > 0) {
      err_ << "vqlog: " << path << ": " << p.cut_lines() << (p.cut_lines() == 1 ? " line" : " lines")
           << " longer than " << RecordParser::kMaxLineBytes << " bytes, cut\n";
    }
    if (p.unterminated_end()) {
      err_ << "vqlog: " << path << ": the last line has no line end (cut short, or still being written)\n";
    }
  }
  // What a store file held that is no record, and the re-sent records
  // left out.
  void Finished(const StoreReader& store) {
    const std::string path = TerminalSafe(store.path());
    if (store.read_failed() && !StopRequested()) {
      err_ << "vqlog: cannot read " << path << ": " << TerminalSafe(store.error()) << "\n";
      status_ = kShowUnreadable;
    }
    auto lines = [](int64_t n) { return std::to_string(n) + (n == 1 ? " line" : " lines"); };
    if (store.unparsed_lines() > 0) {
      err_ << "vqlog: " << path << ": " << lines(store.unparsed_lines())
           << " not a store record, shown as unparsed\n";
    }
    if (store.resent() > 0) {
      err_ << "vqlog: " << path << ": " << store.resent() << (store.resent() == 1 ? " record" : " records")
           << " sent again (equal to a recent one of the same log), left out\n";
    }
    if (store.cut_lines() > 0) {
      err_ << "vqlog: " << path << ": " << lines(store.cut_lines()) << " longer than " << StoreReader::kMaxLineBytes
           << " bytes, cut\n";
    }
    if (store.unterminated_end()) {
      err_ << "vqlog: " << path << ": the last line has no line end (cut short, or still being written)\n";
    }
  }
  void CannotOpen(const std::string& path, const std::string& error) {
    err_ << "vqlog: cannot open " << TerminalSafe(path) << ": " << TerminalSafe(error) << "\n";
    status_ = kShowUnreadable;
  }
  void CannotOpen(const LogReader& reader) {
    err_ << "vqlog: cannot open " << TerminalSafe(reader.path()) << ": " << TerminalSafe(reader.error()) << "\n";
    status_ = kShowUnreadable;
  }
  std::ostream& err() { return err_; }
  int status() const { return status_; }

 private:
  std::ostream& err_;
  int status_ = kShowOk;
};

JsonLogFields FieldsOf(const LogSource& source) {
  if (source.name) return JsonLogFields(source.path, source.name->exe, source.name->pid);
  return JsonLogFields(source.path, std::nullopt, std::nullopt);
}

// Any number of logs are merged under any descriptor limit: past the limit,
// the log read least recently closes its file and opens it again at its
// place when it needs bytes (OpenFileBudget).
// A k-way merge on time: the log whose next record has the smallest sort key
// goes first, the earlier log on a tie. Each log's own order is kept, also
// where its times step back; a record without a time takes the key of the
// record before it in its log (Record::merge_key), shown or not.
class Merge {
 public:
  Merge(const std::vector<LogSource>& sources, const StoreSelection& selection, const std::string& grep,
        Notes& notes)
      : notes_(notes), grep_(grep), budget_(OpenFileLimit()), chunk_bytes_(ChunkBytesFor(sources.size())) {
    // A store file is indexed first: its lanes join the merge as logs.
    size_t all_lanes = 0;
    for (const LogSource& source : sources) {
      if (!source.store) {
        inputs_.emplace_back(&source, FieldsOf(source));
        continue;
      }
      if (StopRequested()) break;
      auto store = std::make_unique<StoreReader>(source.path, selection, &read_ahead_, 2 * chunk_bytes_);
      if (!store->ok()) {
        notes_.CannotOpen(source.path, store->error());
        continue;
      }
      if (!store->Index(/*drop_resent=*/false)) {
        notes_.Finished(*store);
        continue;
      }
      size_t lanes = 0;
      // The store's own unparsed lines last: on a tie they go after the
      // record they follow.
      for (size_t n = 0; n < 2 * store->lane_count(); ++n) {
        const size_t k = n % store->lane_count();
        const StoreLane& lane = store->lane(k);
        if (!lane.selected || lane.origin.own_lines != (n >= store->lane_count())) continue;
        MergeInput& in = inputs_.emplace_back(&source, FieldsOfLane(lane));
        in.store = store.get();
        in.lane = k;
        in.loaded = false;
        in.key = lane.first_key;
        ++lanes;
      }
      if (lanes == 0) {
        notes_.Finished(*store);
        continue;
      }
      lanes_left_[store.get()] = lanes;
      all_lanes += lanes;
      stores_.push_back(std::move(store));
    }
    // The lanes of all store files share one memory of recent records.
    for (auto& store : stores_) {
      store->SetResendWindow(std::clamp(kResendBudget / std::max<size_t>(1, all_lanes), kMinResendWindow,
                                        kMaxResendWindow));
    }
    for (size_t i = 0; i < inputs_.size() && !StopRequested(); ++i) {
      if (inputs_[i].store) {
        heap_.push({inputs_[i].key, i});
      } else if (Open(i)) {
        Advance(i);
      }
    }
  }

  // The next record in merged order, swapped into `*record`; the log it
  // came from in `*index`.
  bool Next(Record* record, size_t* index) {
    while (!heap_.empty()) {
      size_t i = heap_.top().second;
      heap_.pop();
      MergeInput& in = inputs_[i];
      if (!in.loaded) {  // a lane's first record: read it, and queue it on its own key
        in.loaded = true;
        Advance(i);
        continue;
      }
      std::swap(*record, in.head);
      *index = i;
      Advance(i);
      return true;
    }
    return false;
  }

  const MergeInput& input(size_t i) const { return inputs_[i]; }

 private:
  bool Open(size_t i) {
    MergeInput& in = inputs_[i];
    in.reader = std::make_unique<LogReader>(in.source->path, chunk_bytes_, in.source->from_directory, &budget_);
    if (!in.reader->ok()) {
      notes_.CannotOpen(*in.reader);
      in.reader.reset();
      in.finished = true;
      return false;
    }
    in.reader->parser().SetGrep(grep_);
    return true;
  }

  // Reads the log's next record and queues it; false at its end.
  bool Advance(size_t i) {
    MergeInput& in = inputs_[i];
    if (in.store) {
      if (!in.store->Next(in.lane, &in.head)) {
        in.finished = true;
        in.head = Record();  // what the last swap left in it
        if (--lanes_left_[in.store] == 0) {
          notes_.Finished(*in.store);
          lanes_left_.erase(in.store);
          for (auto& s : stores_) {
            if (s.get() == in.store) s.reset();  // its descriptor and buffers go
          }
        }
        in.store = nullptr;
        return false;
      }
      in.key = in.head.merge_key;
      heap_.push({in.key, i});
      return true;
    }
    if (!in.reader->Next(&in.head)) {
      Finish(i);
      return false;
    }
    in.head.host.clear();  // the record it was swapped with may have come from a store
    in.key = in.head.merge_key;
    heap_.push({in.key, i});
    return true;
  }

  void Finish(size_t i) {
    MergeInput& in = inputs_[i];
    notes_.Finished(*in.reader);
    in.reader.reset();
    in.finished = true;
  }

  using Entry = std::pair<int64_t, size_t>;  // key, log index: ties go to the earlier log
  Notes& notes_;
  std::string grep_;
  OpenFileBudget budget_;  // before inputs_: their readers leave it as they go
  size_t chunk_bytes_;
  std::deque<MergeInput> inputs_;  // grows without moving (or twice holding) the inputs: a store has many
  StoreReadAhead read_ahead_;  // before stores_: they give back what they hold
  std::vector<std::unique_ptr<StoreReader>> stores_;
  std::map<const StoreReader*, size_t> lanes_left_;  // lanes of a store not at their end
  std::priority_queue<Entry, std::vector<Entry>, std::greater<Entry>> heap_;
};

int ShowOnce(const std::vector<LogSource>& sources, const ShowOptions& options, std::ostream& out,
             Notes& notes) {
  Merge merge(sources, StoreSelectionOf(options.selection), options.filter.grep, notes);
  OutputBuffer buffer(out, false);
  const bool stores = std::any_of(sources.begin(), sources.end(), [](const LogSource& s) { return s.store; });
  TablePrinter table(options.color, stores);
  std::vector<Record> batch(options.json ? 0 : kTableBatch);
  size_t batched = 0;
  Record record;
  size_t index = 0;
  uint32_t count = 0;
  while (merge.Next(&record, &index)) {
    if ((++count & 0xFFF) == 0 && StopRequested()) break;
    if (!options.filter.Matches(record)) continue;
    if (options.json) {
      const JsonLogFields& fields = merge.input(index).json;
      buffer.Wrote(WriteRecordJson(record, fields, buffer.Room(RecordJsonRoom(record, fields))));
      buffer.Commit();
      continue;
    }
    std::swap(batch[batched++], record);
    if (batched == batch.size()) {
      table.Print(batch.data(), batched, buffer.text());
      batched = 0;
      buffer.Commit();
    }
  }
  if (batched > 0) table.Print(batch.data(), batched, buffer.text());
  buffer.Flush();
  out.flush();
  if (StopRequested()) return kShowInterrupted;
  return notes.status();
}

// One followed log.
struct FollowedLog {
  const LogSource* source;
  JsonLogFields json;
  std::unique_ptr<LogReader> reader;
  int quiet_milliseconds = 0;
  std::deque<Record> pending;  // read, not yet shown
  bool more = false;           // the last poll stopped at its share, not at the end
  bool leaving = false;        // deleted or unreadable: goes once `pending` is shown
  bool deleted = false;
};

// One followed store file: its records wait per lane, merged like logs.
struct FollowedStore {
  const LogSource* source;
  std::unique_ptr<StoreReader> reader;
  std::vector<std::deque<Record>> pending;  // per lane: read, not yet shown
  std::vector<JsonLogFields> json;          // per lane
  bool more = false;
  bool leaving = false;
};

// Says what happened to a followed file since the last poll, if anything.
void ReportChange(InputSource::Change change, const std::string& path, Notes& notes) {
  switch (change) {
    case InputSource::Change::Truncated:
      notes.err() << "vqlog: " << TerminalSafe(path) << " was truncated; reading it again from the start\n";
      break;
    case InputSource::Change::Replaced:
      notes.err() << "vqlog: " << TerminalSafe(path) << " was replaced; reading the new file from the start\n";
      break;
    case InputSource::Change::None: break;
  }
}

// Reads what a followed store has now, at most `share` records.
void ReadAvailable(FollowedStore& store, size_t share, Notes& notes) {
  StoreReader& reader = *store.reader;
  const bool failed_before = reader.read_failed();
  ReportChange(reader.CheckFollowed(), reader.path(), notes);
  size_t lane = 0, read = 0;
  Record record;
  while (read < share && reader.NextInFileOrder(&lane, &record)) {
    while (store.pending.size() < reader.lane_count()) {
      store.json.push_back(FieldsOfLane(reader.lane(store.pending.size())));
      store.pending.emplace_back();
    }
    store.pending[lane].push_back(std::move(record));
    ++read;
  }
  store.more = read >= share;
  if (reader.read_failed() && !failed_before && !StopRequested()) {
    notes.ReadFailed(reader.path(), reader.error());
    store.leaving = true;
  }
}

// Records all followed logs may hold read and not yet shown: each log reads
// at most its share per poll, so a large log already there when the follow
// starts is streamed, not read whole.
constexpr size_t kFollowRecordBudget = 65536;

// Reads what the log has now, and hands out the held-back record when no
// line can go on with it any more.
// False when the log could not be read again (replaced by something that
// cannot be opened): it leaves the follow, and may join again later.
bool ReadAvailable(FollowedLog& log, int poll_milliseconds, size_t share, Notes& notes) {
  LogReader& reader = *log.reader;
  const bool failed_before = reader.read_failed();
  ReportChange(reader.CheckFollowed(), reader.path(), notes);
  log.more = PollFollowed(reader, poll_milliseconds, share, log.quiet_milliseconds, log.pending);
  if (reader.read_failed() && !failed_before && !StopRequested()) {
    notes.ReadFailed(reader);
    return false;
  }
  return true;
}

// While following, the directories are scanned again this often for the
// logs of processes that started since.
constexpr int kRescanMilliseconds = 1000;

// Follows `initial`; with `rescan`, also the logs that selection picks in
// later scans. `scan_notes`: what the first scan noted, not to be repeated.
int Follow(const std::vector<LogSource>& initial, const LogSelection* rescan, const std::string& scan_notes,
           const ShowOptions& options, std::ostream& out, Notes& notes) {
  // Every followed log keeps its file open, to notice appends, truncation
  // and replacement: more than the descriptor limit allows are refused
  // rather than some followed in silence.
  const size_t limit = OpenFileLimit();
  if (initial.size() > limit) {
    notes.err() << "vqlog: cannot follow " << initial.size() << " logs: at most " << limit
                << " files may be open at once here (ulimit -n); select fewer with --exe, --pid or --last\n";
    return kShowUnreadable;
  }
  std::deque<LogSource> sources;  // stable addresses for FollowedLog::source
  std::set<std::string> known;    // every path followed or tried, while it is there
  std::set<std::string> refused;  // turned away at the limit, noted once, tried again
  std::set<std::string> printed;
  NewNoteLines(scan_notes, printed);
  std::vector<FollowedLog> logs;
  std::vector<FollowedStore> stores;
  const StoreSelection store_selection = StoreSelectionOf(options.selection);
  // Read buffers share a fixed budget, as when the logs are shown once.
  const size_t chunk = std::clamp<size_t>((24u << 20) / std::max<size_t>(1, initial.size()), 8u << 10,
                                          LogReader::kDefaultChunkBytes);
  auto start = [&](const LogSource& given, bool joined) {
    sources.push_back(given);
    const LogSource& source = sources.back();
    known.insert(source.path);
    if (source.store) {
      auto reader = std::make_unique<StoreReader>(source.path, store_selection);
      if (!reader->ok()) {
        notes.CannotOpen(source.path, reader->error());
        return;
      }
      // Lanes are found as they come: a fixed memory of recent records each.
      reader->SetResendWindow(8192);
      if (joined) notes.err() << "vqlog: following " << TerminalSafe(source.path) << ", a new store file\n";
      stores.push_back({&source, std::move(reader), {}, {}, false, false});
      return;
    }
    // A log that joins later is opened without blocking, named or not: a
    // FIFO put at a followed name must not stop the others.
    auto reader = std::make_unique<LogReader>(source.path, chunk, source.from_directory || joined);
    if (!reader->ok()) {
      notes.CannotOpen(*reader);
      return;
    }
    if (joined) notes.err() << "vqlog: following " << TerminalSafe(source.path) << ", a new log\n";
    reader->SetFollow(true);
    reader->parser().SetGrep(options.filter.grep);
    logs.push_back({&source, FieldsOf(source), std::move(reader), 0, {}, false, false, false});
  };
  for (const LogSource& source : initial) start(source, false);
  OutputBuffer buffer(out, true);
  TablePrinter table(options.color,
                     std::any_of(initial.begin(), initial.end(), [](const LogSource& s) { return s.store; }));
  std::vector<Record> shown;
  bool first = true;
  int since_scan = 0;
  bool behind = false;  // a log stopped at its share: poll again at once
  while (!StopRequested()) {
    if (!first && !behind) std::this_thread::sleep_for(std::chrono::milliseconds(options.poll_milliseconds));
    first = false;
    if (rescan && (since_scan += options.poll_milliseconds) >= kRescanMilliseconds) {
      since_scan = 0;
      std::ostringstream scan;
      for (const LogSource& source : SelectLogs(*rescan, scan)) {
        if (known.count(source.path) != 0) continue;
        if (logs.size() + stores.size() >= limit) {
          if (refused.insert(source.path).second) {
            notes.err() << "vqlog: cannot follow " << TerminalSafe(source.path) << " as well: at most " << limit
                        << " files may be open at once here (ulimit -n)\n";
          }
          continue;
        }
        refused.erase(source.path);
        start(source, true);
      }
      notes.err() << NewNoteLines(scan.str(), printed);
    }
    const size_t share =
        std::max<size_t>(16, kFollowRecordBudget / std::max<size_t>(1, logs.size() + stores.size()));
    behind = false;
    for (FollowedLog& log : logs) {
      if (log.leaving) continue;
      if (!ReadAvailable(log, options.poll_milliseconds, share, notes)) {
        log.leaving = true;
        continue;
      }
      behind = behind || log.more;
      std::error_code ec;
      if (!log.more && log.reader->regular_file() && !std::filesystem::exists(log.source->path, ec) && !ec) {
        Record held;
        if (log.reader->ReleaseHeld(&held)) log.pending.push_back(std::move(held));
        log.leaving = log.deleted = true;
      }
    }
    for (FollowedStore& store : stores) {
      if (store.leaving) continue;
      ReadAvailable(store, share, notes);
      behind = behind || store.more;
      std::error_code ec;
      if (!store.more && !std::filesystem::exists(store.source->path, ec) && !ec) {
        notes.err() << "vqlog: " << TerminalSafe(store.source->path) << " was deleted; no longer following it\n";
        store.leaving = true;
      }
    }
    // Every queue of records waiting: a log's, or a store lane's.
    struct Queue {
      std::deque<Record>* pending;
      const JsonLogFields* json;
    };
    std::vector<Queue> queues;
    // Merged on time up to the last record read of any log that has more
    // to read: what comes after it there may be earlier than the rest.
    int64_t horizon = std::numeric_limits<int64_t>::max();
    for (FollowedLog& log : logs) {
      queues.push_back({&log.pending, &log.json});
      if (log.more && !log.pending.empty()) horizon = std::min(horizon, log.pending.back().merge_key);
    }
    for (FollowedStore& store : stores) {
      for (size_t k = 0; k < store.pending.size(); ++k) {
        queues.push_back({&store.pending[k], &store.json[k]});
        if (store.more && !store.pending[k].empty()) horizon = std::min(horizon, store.pending[k].back().merge_key);
      }
    }
    shown.clear();
    bool any = false;
    // The queue whose first record is earliest goes next, the earlier queue
    // on a tie: a heap, as a store may have many lanes.
    using Front = std::pair<int64_t, size_t>;
    std::priority_queue<Front, std::vector<Front>, std::greater<Front>> fronts;
    for (size_t i = 0; i < queues.size(); ++i) {
      if (!queues[i].pending->empty()) fronts.push({queues[i].pending->front().merge_key, i});
    }
    while (!fronts.empty() && fronts.top().first <= horizon) {
      const size_t best = fronts.top().second;
      fronts.pop();
      Record r = std::move(queues[best].pending->front());
      queues[best].pending->pop_front();
      if (!queues[best].pending->empty()) fronts.push({queues[best].pending->front().merge_key, best});
      any = true;
      if (!options.filter.Matches(r)) continue;
      if (options.json) {
        AppendRecordJson(r, *queues[best].json, buffer.text());
      } else {
        shown.push_back(std::move(r));
      }
    }
    if (any) {
      if (!options.json) table.Print(shown, buffer.text());
      buffer.Commit();
    }
    // A deleted log leaves, after what it still held was shown, and so does
    // one that cannot be read any more. Either joins again if a log of that
    // name comes back.
    for (size_t k = logs.size(); k-- > 0;) {
      FollowedLog& log = logs[k];
      if (!log.leaving || !log.pending.empty()) continue;
      if (log.deleted) {
        notes.err() << "vqlog: " << TerminalSafe(log.source->path) << " was deleted; no longer following it\n";
        notes.Finished(*log.reader);
      }
      known.erase(log.source->path);
      logs.erase(logs.begin() + static_cast<std::ptrdiff_t>(k));
    }
    for (size_t k = stores.size(); k-- > 0;) {
      FollowedStore& store = stores[k];
      if (!store.leaving) continue;
      bool drained = true;
      for (const std::deque<Record>& lane : store.pending) drained = drained && lane.empty();
      if (!drained) continue;
      if (!store.reader->read_failed()) notes.Finished(*store.reader);
      known.erase(store.source->path);
      stores.erase(stores.begin() + static_cast<std::ptrdiff_t>(k));
    }
  }
  buffer.Flush();
  for (FollowedLog& log : logs) notes.Finished(*log.reader);
  for (FollowedStore& store : stores) notes.Finished(*store.reader);
  return notes.status();
}

}  // namespace

void StopFollowing() { RequestStop(); }

int ShowSources(const std::vector<LogSource>& sources, const ShowOptions& options, std::ostream& out,
                std::ostream& err) {
  Notes notes(err);
  if (options.follow) return Follow(sources, nullptr, "", options, out, notes);
  return ShowOnce(sources, options, out, notes);
}

int RunShow(const ShowOptions& options, std::ostream& out, std::ostream& err) {
  LogSelection selection = options.selection;
  selection.operands.insert(selection.operands.end(), options.files.begin(), options.files.end());
  std::ostringstream scan;
  std::vector<LogSource> sources = SelectLogs(selection, scan);
  err << scan.str();
  if (sources.empty() && !options.follow) {
    err << "vqlog: no log to show\n";
    return kShowNoLogs;
  }
  if (!options.follow) return ShowSources(sources, options, out, err);
  // Following, logs that appear later are taken in: none yet is no end.
  if (sources.empty()) err << "vqlog: no log to show yet; waiting for new ones\n";
  Notes notes(err);
  return Follow(sources, &selection, scan.str(), options, out, notes);
}

}  // namespace vqlog
