// Group commit: the lines of callers that arrive together are queued, in
// the order in which they were built, and one write carries all of them.
// Every caller returns only after its own line has been handed to the OS
// (or lost with the write that carried it).
//
// The logger's lock guards the building of a line and the queue; no write
// happens under it. The queue keeps a guess of how many callers are active:
// the lines of the last write plus those that queued while it was in
// flight (one, at one thread).
//   - A caller whose line makes the queue that long, with no write in
//     flight, takes the writer's role and the queued lines at once, under
//     the lock it already holds, and writes them.
//   - The first line short of that makes its caller the elect: it waits
//     about one record's round trip for the others, then writes what is
//     queued. So a caller that stopped logging costs one short wait, once.
//   - Lines that arrive while a write is in flight wait for the next one.
//     When the writer is done it wakes only the callers of its own lines,
//     and, if lines are left, makes one of their callers the elect
//     (preferring one still spinning). So no caller writes for others.
// A waiter spins for a few microseconds, then blocks on its own word. At
// one thread this is one write per record and no other system call.
//
// Batching pays only where a hand-over between threads costs less than the
// write it saves; on a machine whose processors are far apart, or busy, a
// plain lock held over each caller's own write is faster, because its
// holder runs many records without one. So the queue also has that mode:
// callers sleep on the lock at once and, finding no write in flight and
// nothing queued, write their own line under it. The queue times every
// kSampleLines lines in the mode it is in, tries the other mode for one such
// stretch now and then, and keeps whichever was faster; the longer the mode
// in use stays ahead, the rarer the tries (ModeChooser).
#ifndef VQLOGGER_CORE_GROUP_COMMIT_H_
#define VQLOGGER_CORE_GROUP_COMMIT_H_

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "core/crit_sec.h"
#include "platform/platform.h"

namespace vqlogger {

// One caller's finished line; lives on the caller's stack until its call
// returns, which is after the line has been written or lost.
struct PendingLine {
  const char* text = nullptr;
  size_t size = 0;
  PendingLine* next = nullptr;  // guarded by the logger's lock
  // kQueued -> kSleeping (the caller blocks) -> kWritten or kElected;
  // an elect's word may also turn kPassed.
  std::atomic<uint32_t> state{0};
};

// Picks the write mode from timed stretches of lines. The chosen mode runs;
// now and then the other one is tried for a stretch (after one stretch to
// warm up, not weighed) and weighed against the chosen mode's stretches on
// either side of it, so a drift in load does not decide.
//
// The two choices are not alike. Under the lock a line never costs more than
// with a plain lock; batching saves much where a hand-over between threads
// is cheap and loses much where it is not. Stretches of a millisecond vary by
// half from one to the next when threads outnumber processors, so a single
// noisy try must not move the queue to batching. So batching is chosen only
// when it beats both stretches around it by an eighth, in two tries running;
// the lock is chosen back as soon as it beats their mean by a 32nd. Each try
// that loses makes the next one rarer (four times so when it lost by more
// than a quarter), up to kTryEveryMost stretches.
class ModeChooser {
 public:
  // After a stretch of `span` nanoseconds (negative: not weighed, as the
  // host paused between records), whether the next one writes under the
  // lock.
  bool Next(int64_t span);

  static constexpr uint32_t kTryEveryLeast = 4;
  static constexpr uint32_t kTryEveryMost = 64;

 private:
  // kSteady: stretches of the chosen mode; kWarming: the first of the other
  // mode; kTrying: the weighed one; kAfterTry: the chosen mode's again.
  enum : uint8_t { kSteady, kWarming, kTrying, kAfterTry } phase_ = kSteady;
  bool chosen_under_lock_ = true;
  bool confirming_ = false;        // batching won the last try: it is tried again
  int64_t before_try_ = 0;         // the last stretch of the chosen mode (ns)
  int64_t tried_ = 0;              // the try's stretch (ns)
  uint32_t until_try_ = kTryEveryLeast;  // stretches until the next try
  uint32_t try_every_ = kTryEveryLeast;  // stretches between tries
};

class CommitQueue {
 public:
  // What a caller does once its line is queued.
  enum class Turn {
    kWait,   // another caller writes it (or makes this one the elect)
    kElect,  // this caller writes what is queued if nobody else does soon
    kWrite,  // this caller holds the writer's role and has taken a batch
    kLocked,  // nothing is in flight: this caller writes its own line now,
              // still holding the lock (CommitLocked)
    // Only for a call nested in one of the same thread (QueueNestedLocked):
    kBusy,    // another thread holds the writer's role: try again
    kDrop,    // its thread holds the writer's role: the line is dropped
  };

  // Lines taken off the queue for one write, oldest first.
  struct Batch {
    PendingLine* first = nullptr;
    PendingLine* last = nullptr;
    size_t bytes = 0;
    uint32_t lines = 0;
  };

  // The longest batch: several of the longest lines.
  static constexpr size_t kBatchCapacity = 32 * 1024;

  CommitQueue() = default;
  CommitQueue(const CommitQueue&) = delete;
  CommitQueue& operator=(const CommitQueue&) = delete;

  // Queues `line` behind every line built before it. The caller holds the
  // logger's lock and has built the line under it, so the queue's order is
  // the order of the lines' time stamps. On kWrite, `batch` holds the lines
  // this caller is to write.
  // `others_waiting`: the caller saw other callers waiting for the lock.
  Turn QueueLocked(PendingLine* line, Batch* batch, bool others_waiting);

  // QueueLocked for a call made by a handler that interrupted its own
  // thread inside the library (a signal handler), when that thread holds no
  // lock. It never waits for its own thread: it takes the writer's role if
  // it is free (kWrite, with `line` queued behind the others), or says what
  // else to do. Queued only on kWrite.
  Turn QueueNestedLocked(PendingLine* line, Batch* batch);

  // For kLocked: writes `line`; the caller still holds the logger's lock.
  void CommitLocked(PendingLine* line, platform::LogFile* file);

  // How a caller is to take the logger's lock: with a short spin (lines are
  // batched and the lock is held only to build one), or sleeping at once
  // (lines are written under it). Read without the lock; a caller that
  // guesses wrong only waits the other way.
  bool SpinForLock() const { return !under_lock_.load(std::memory_order_relaxed); }

  // Lines in a timed stretch of one mode.
  static constexpr uint32_t kSampleLines = 2048;

  // Returns once `line` has been written or lost. Called without the lock,
  // with what QueueLocked gave. `lock` is the logger's lock, `file` its file
  // (touched only by the writer).
  void Commit(PendingLine* line, Turn turn, Batch batch, CritSec* lock, platform::LogFile* file);

  // In a forked child: no writer and nothing queued (the lines and threads
  // of the parent are not the child's). Called with the logger's lock held
  // or unused.
  void ResetInChild();

  // True when no caller holds the writer's role and nothing is queued. The
  // caller holds the lock.
  bool IdleLocked() const {
    return writing_.load(std::memory_order_acquire) == kNoWriter && head_ == nullptr;
  }

  // One mode for good, never timed. The caller holds the lock.
  void PinModeLocked(bool under_lock) {
    under_lock_.store(under_lock, std::memory_order_relaxed);
    pinned_ = true;
  }

  // Lines queued and not yet taken by a writer. The caller holds the lock.
  size_t QueuedLocked() const { return queued_; }

 private:
  // writing_: no writer; a writer; a writer, and lines were queued behind
  // its write (so it must take the lock when it is done).
  enum : uint32_t {
    kNoWriter = 0,
    kWriterActive = 1,
    kLinesWaiting = 2,
  };

  void EnqueueLocked(PendingLine* line);
  // At the end of a timed stretch: which mode the next one runs in.
  void SampleLocked();
  // Gives the writer's role to the calling thread; passes any elect on.
  void TakeRoleAndBatchLocked(Batch* batch);
  void TakeBatchLocked(Batch* batch);
  PendingLine* ChooseElectLocked() const;
  // Waits as the elect; true when this caller then took the writer's role
  // (and `batch`), false when its line was written by another.
  bool WaitAsElect(PendingLine* line, CritSec* lock, Batch* batch);
  // After a write of `written`: the new guess of active callers, and who
  // writes next. The caller holds the lock. If its own line was not in the
  // write, it keeps the writer's role and takes `next`; else it gives the
  // role up and, if lines are left, makes one of their callers the elect
  // (`elected`). True when that one sleeps and must be woken.
  bool FinishWriteLocked(const Batch& written, bool mine_written, Batch* next, PendingLine** elected);
  // The writer's loop: writes `taken`, then as many more batches as it
  // takes to write its own line; releases their callers; hands on what is
  // left.
  void WriteBatches(PendingLine* mine, Batch* taken, CritSec* lock, platform::LogFile* file);

  // All guarded by the logger's lock, and side by side, so that a caller
  // taking the lock after another moves one or two cache lines for them.
  // A caller holds the writer's role (and whether lines wait behind its
  // write). Set under the lock; a lone writer clears it without the lock
  // when no line waits.
  std::atomic<uint32_t> writing_{kNoWriter};
  uint32_t queued_ = 0;            // lines in the queue
  // The thread that took the writer's role last (platform::ThreadToken);
  // while writing_ is set, the one that holds it.
  uintptr_t writer_token_ = 0;
  PendingLine* head_ = nullptr;    // oldest queued line
  PendingLine* tail_ = nullptr;    // newest queued line
  // The elect's line, while one waits. The elect learns of changes from
  // its own word (kPassed, kElected, kWritten).
  PendingLine* elect_ = nullptr;
  uint32_t expected_ = 1;          // the guess of active callers
  // The mode: lines written under the lock (set) or batched. Written under
  // the lock, read before it.
  std::atomic<bool> under_lock_{true};
  bool pinned_ = false;            // the mode never changes
  uint32_t sample_lines_ = 0;      // lines queued in this stretch
  uint32_t sample_queueing_ = 0;   // of them, lines that found others queueing
  uint32_t sample_locked_ = 0;     // of them, lines written under the lock
  int64_t sample_start_ = 0;       // when it began (monotonic ns; 0: not yet)
  ModeChooser chooser_;
  char batch_[kBatchCapacity];     // the writer's copy of a batch of lines
};

}  // namespace vqlogger

#endif  // VQLOGGER_CORE_GROUP_COMMIT_H_
