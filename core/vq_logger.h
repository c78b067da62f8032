// VqLogger: the common base of the assert and runtime loggers. It owns one
// log file (opened by OpenLogFile), the lock that serialises everything done
// to it, and the field list from which every line is rendered.
//
// Line format: field texts joined by tabs, converted once from the narrow
// code page to UTF-8, and (for a finished line) ended by CR LF. Every record
// line starts with TIMESTAMP, THREAD_ID, FILENAME and LINE_NUMBER, which
// BeginRecord renders.
#ifndef VQLOGGER_CORE_VQ_LOGGER_H_
#define VQLOGGER_CORE_VQ_LOGGER_H_

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "core/crit_sec.h"
#include "core/group_commit.h"
#include "core/limits.h"
#include "core/thread_marks.h"
#include "platform/platform.h"

namespace vqlogger {

// An ordered list of pointers to NUL-terminated texts, which it does not own.
// Fixed capacity: no line has more than six fields, so appending never
// allocates.
class FieldList {
 public:
  static constexpr size_t kCapacity = 8;

  void clear() { count_ = 0; }
  // False when the list is full (no caller gets there).
  bool push_back(const char* text) {
    if (count_ == kCapacity) return false;
    entries_[count_++] = text;
    return true;
  }
  size_t size() const { return count_; }
  const char* operator[](size_t i) const { return entries_[i]; }

 private:
  const char* entries_[kCapacity] = {};
  size_t count_ = 0;
};

// A field text with its length already measured.
struct FieldSpan {
  const char* text;
  size_t length;
};

class VqLogger {
 public:
  virtual ~VqLogger() = 0;
  VqLogger(const VqLogger&) = delete;
  VqLogger& operator=(const VqLogger&) = delete;

  // Renders the four common columns of a record into `buffer` (room for
  // kLineCapacity bytes) from its start: time stamp, thread id, source file
  // ("Null Pointer Error" when null, "File Name and Directory too Long" when
  // over 1000 characters) and line number, each followed by a tab, in UTF-8.
  // Returns the length, or 0 (buffer null, or a conversion failure).
  // `fields` is left as it was. The caller holds `lock`.
  unsigned BeginRecord(char* buffer, const char* sourceFile, int lineNumber);

  // Appends the texts in `fields`, each followed by a tab, after the text
  // already in `buffer`, converting only what it appends to UTF-8; with
  // `lineEnd` the final tab becomes CR LF. Returns the length of the whole
  // text, or 0 when it does not fit `capacity` bytes with its zero, or the
  // conversion fails. Null entries add nothing. The caller holds `lock`.
  unsigned JoinFields(char* buffer, unsigned capacity, bool lineEnd);

  // JoinFields for texts whose lengths are known: appends `spans` after the
  // first `start` bytes of `buffer` (which hold the text already there).
  // `ascii` says the appended texts are known to be 7-bit, which skips the
  // conversion. Same result and failures as JoinFields.
  unsigned AppendSpans(char* buffer, size_t start, const FieldSpan* spans, size_t count,
                       unsigned capacity, bool lineEnd, bool ascii);

  // Stores the log directory (truncated to fit, always terminated). A null
  // `dir` changes nothing. Called under the initialisation lock only.
  void SetDirectory(const char* dir);

  // Composes the file name, creates or empties the file and writes the
  // byte-order mark and the header line. True when the file is open (now or
  // earlier). A failed attempt leaves nothing open, so a later call can
  // succeed. Called under the initialisation lock only.
  bool OpenLogFile();

  bool is_open() const { return isOpen.load(std::memory_order_acquire); }

  // The closed state, entered once by the teardown and never left. A
  // refusing logger writes no record and opens no file: a record call tests
  // it before taking `lock` (cheap refusal) and again under `lock` (so no
  // record starts after StopWriting has returned). The file itself stays
  // open until the logger is destroyed, or the OS closes it at exit.
  bool refusing() const { return refusing_.load(std::memory_order_acquire); }

  // Enters the closed state. With `wait`, then takes and leaves `lock`, so
  // that a record under way is finished whole before this returns; waits at
  // most kStopWaitMilliseconds. False when that wait ran out (a thread still
  // holds `lock`): such a logger must not be freed.
  bool StopWriting(bool wait);
  static constexpr int kStopWaitMilliseconds = 1000;
  const char* directory_text() const { return directory; }
  const char* file_suffix() const { return fileSuffix; }
  FieldList& field_list() { return fields; }
  CritSec& logger_lock() { return lock; }
  // In a forked child: no writer and no queued line of the parent's.
  void ForgetParentLines() { commit_.ResetInChild(); }
  // Keeps one write mode for good: lines written under the lock, or
  // batched (for the checks of each mode's protocol).
  void PinWriteMode(bool under_lock) {
    CritSecGuard guard(&lock);
    commit_.PinModeLocked(under_lock);
  }
  // Lines queued for a writer and not yet taken by one.
  size_t queued_lines() {
    CritSecGuard guard(&lock);
    return commit_.QueuedLocked();
  }

 protected:
  VqLogger();

  // Sets fileSuffix and appends the derived class's own column names.
  void SetUpColumns(const char* suffix, const char* const* columns, size_t count);

  // Builds one record under `lock` with `build(buffer)`, which returns the
  // line's length in `buffer` (0: nothing to write), and returns once the
  // line has been handed to the file, alone or with the lines of other
  // callers (group commit), or lost with the write that carried it.
  // `buffer` belongs to the caller and stays untouched until then.
  //
  // A call that interrupted its own thread inside the library (a signal
  // handler that logs) takes CommitNested instead: it never waits for what
  // that thread holds, and writes its line whole or drops it.
  template <typename Build>
  void CommitRecord(char* buffer, Build&& build) {
    const uint32_t marks = platform::ThreadMarks();
    if (marks != 0) {
      CommitNested(buffer, build, marks);
      return;
    }
    ThreadMarksGuard marked(0, kMarkRecord);
    PendingLine pending;
    CommitQueue::Batch batch;
    CommitQueue::Turn turn;
    {
      CritSecGuard guard(&lock, commit_.SpinForLock());
      size_t size = build(buffer);
      if (size == 0) return;
      pending.text = buffer;
      pending.size = size;
      turn = commit_.QueueLocked(&pending, &batch, lock.HasWaiters());
      if (turn == CommitQueue::Turn::kLocked) {
        commit_.CommitLocked(&pending, &stream);
        return;
      }
    }
    commit_.Commit(&pending, turn, batch, &lock, &stream);
  }

  template <typename Build>
  void CommitNested(char* buffer, Build& build, uint32_t marks) {
    // A lock of this thread's (held, or being taken): nothing can be built.
    if ((marks & kMarkLockMask) != 0 || (marks & kMarkRecordMask) == kMarkRecordMask) return;
    ThreadMarksGuard marked(marks, marks + kMarkRecord);
    PendingLine pending;
    for (;;) {
      CommitQueue::Batch batch;
      CommitQueue::Turn turn;
      {
        CritSecGuard guard(&lock);
        // Built afresh on every try (a kBusy line was never queued), so its
        // time stamp is not older than the lines written while it waited.
        size_t size = build(buffer);
        if (size == 0) return;
        pending.text = buffer;
        pending.size = size;
        turn = commit_.QueueNestedLocked(&pending, &batch);
      }
      if (turn == CommitQueue::Turn::kDrop) return;
      if (turn != CommitQueue::Turn::kBusy) {
        commit_.Commit(&pending, turn, batch, &lock, &stream);
        return;
      }
      // Another thread's write is in flight; it waits for nothing of ours.
      platform::YieldThread();
    }
  }

  // What every record touches comes first, in the object's first four
  // cache lines: a record then touches one page of it instead of two, and
  // a thread that takes the lock after another moves fewer lines.
  CritSec lock;                     // serialises open, build, write
  platform::LogFile stream;         // the log file
  std::atomic<bool> isOpen{false};  // the header is written; never cleared
  std::atomic<bool> refusing_{false};  // see refusing()

 private:
  // Renders the time stamp into `out`; the part that changes once a second
  // is cached. The caller holds `lock`.
  size_t RenderTimestamp(char* out);

  int64_t cached_second_ = INT64_MIN;    // seconds the cache was made for
  size_t cached_stamp_length_ = 0;
  char cached_stamp_[32] = {};           // "Y-M-D h:m:s."
  CommitQueue commit_;              // lines waiting for the writer

 protected:
  char fileSuffix[kDirectoryCapacity];  // "_runtime.log" or "_assert.log"
  char directory[kDirectoryCapacity];   // where the file is created
  FieldList fields;                 // column names, then the current record
};

// The text written for a null pointer field, and the last-resort line.
extern const char kNullPointerText[];
// The text that replaces a source file name over 1000 characters.
extern const char kFileNameTooLongText[];

}  // namespace vqlogger

#endif  // VQLOGGER_CORE_VQ_LOGGER_H_
